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
