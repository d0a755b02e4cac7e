#pragma once
#include <csetjmp>

// Where platform_exit and platform_fatal_stop jump: the status + 1, or FUZZ_FATAL_STOP.
extern jmp_buf g_fuzz_exit;
inline constexpr int FUZZ_FATAL_STOP = 1000;
