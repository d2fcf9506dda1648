#include "engine/LEDMain.h"

int main(int argc, char** argv) { return LEDMain::Run(argc, argv); }
