#define ABOVE <engine/LEDMain.h>
#include ABOVE
