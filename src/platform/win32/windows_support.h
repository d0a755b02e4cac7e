// The one place that includes <windows.h>, with the same settings for every file of the backend.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // AddDllDirectory and the K32 process queries
#endif

#include <windows.h>

// shell32, loaded from the system directory on first use. Only the parent needs it (to split its
// command line and to find the profile folder), and loading it pulls in a good part of the window
// system: a child that never asks does not pay for it. Null if it cannot be loaded.
HMODULE shell32_module();
