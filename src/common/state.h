// Process-wide state shared by the driver, extraction, the child launch and the cleanup. It lives
// below all of them, so that none of them has to reach up into the driver for it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr size_t PATH_CAPACITY = 4096;

enum class Role { Parent, Child };

struct BootstrapState {
    // Written completely before the console handler is registered and never changed afterwards,
    // so the handler's thread may read it without a lock.
    wchar_t target_directory[PATH_CAPACITY];
    wchar_t output_path[PATH_CAPACITY];
    wchar_t main_binary_path[PATH_CAPACITY];
    // Set by the driver once the attached data header is accepted: from then on cleanup removes
    // the target directory.
    std::atomic<bool> cleanup_armed;
    // The handle through which a console event may wait for, end and close the child. Whoever
    // exchanges it for NO_PROCESS first owns it, so it is closed exactly once.
    std::atomic<ProcessHandle> child_process;
};

extern BootstrapState g_state;

// The launcher's module file name as the system reports it (filled on first use): the child's
// program and its argument 0.
extern wchar_t g_module_path[PATH_CAPACITY];
// Fills g_module_path if it is still empty; a failing or truncated query is a fatal stop.
void ensure_module_path();
