#include "mainwindow/frmVURUruduvo.h"
