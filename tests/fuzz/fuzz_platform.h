#pragma once
#include <csetjmp>

// Where platform_exit and platform_fatal_stop jump: the status + 1, or FUZZ_FATAL_STOP.
extern jmp_buf g_fuzz_exit;
inline constexpr int FUZZ_FATAL_STOP = 1000;

#include <cstdint>
// How many processors the platform reports: the harness runs each input with several and with one.
extern uint32_t g_fuzz_processor_count;
#include <atomic>
// A sum over the files written (and closed) of a hash of each one's path and bytes.
extern std::atomic<uint64_t> g_fuzz_written;
