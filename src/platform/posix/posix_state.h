// State the Linux backend's files share.
#pragma once

#include <cstdint>

// The argument vector exactly as main received it; the child gets it back unchanged.
extern int g_native_argc;
extern char** g_native_argv;
// The loader's own description of the last failed load, reported with its pseudo error code.
extern char g_dl_error_text[1024];
extern uint32_t g_dl_error_code;
