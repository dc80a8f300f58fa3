// The program's wiring: the application delegate to the SDK front and the session state, and each new
// top-level (stand-in) window to the sign-in and connect sequences.
#pragma once

#include "shell/AppDelegate.h"

// Services of the real program (the entry object of the service locator, the session's sequences, the
// transfer scheduler). `delegate` receives the windows' switches.
AppDelegateServices programServices(AppDelegate **delegate);

// Connects a window the delegate has just made to the session: the login window signs in, the device
// choice lists the bound devices and connects with automatic login, the main window shows the device and
// the space ids and logs out.
void wireShellWindow(AppDelegate *delegate, QWidget *window, uint64_t type);
