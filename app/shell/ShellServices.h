// The program's wiring of the application delegate to the SDK front and the session state.
#pragma once

#include "shell/AppDelegate.h"

// Services of the real program: the SDK service through the request broker, the session's flags.
AppDelegateServices programServices();
