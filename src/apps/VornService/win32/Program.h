#pragma once

#include <windows.h>

#include <functional>

class MainWindow;

// The program from start to exit on the calling thread, which becomes the
// window thread: creates the main window (the user picks the network on its
// first activation, which starts the controller), runs the message loop and
// tears everything down. Returns the exit code: the loop's quit code, or -1
// when the main window could not be created.
//
// `prepare` runs on the window object before its window is created (tests
// give it their own adapter list there).
int runProgram(HINSTANCE instance, int showCommand,
               const std::function<void(MainWindow&)>& prepare = {});

// The message loop of a created main window, until its quit message; the
// quit code.
int runMessageLoop(MainWindow& mainWindow);
