// The program: one instance per user, the application delegate, the crash log, and the bounded quit after
// the event loop has ended.
#pragma once

#include <functional>

struct TesseraLaunch {
    // Runs once the application object exists and the instance guard is held, before the delegate
    // launches (the launch benchmark installs its scripted framework and its watch here).
    std::function<void()> beforeLaunch;
};

// Runs the program to its end; the exit code.
int tesseraMain(int argc, char **argv, const TesseraLaunch &launch = {});
