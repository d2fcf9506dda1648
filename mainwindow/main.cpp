// The program: the engine's entry with the main window as its panel.
#include "engine/LEDMain.h"
#include "mainwindow/frmVURUruduvo.h"

int main(int argc, char** argv)
{
    frmVURUruduvo::RegisterAsPanel();
    return LEDMain::Run(argc, argv);
}
