#include "../engine/LEDMain.h"
