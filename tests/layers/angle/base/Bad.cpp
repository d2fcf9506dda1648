#include <engine/LEDMain.h>
