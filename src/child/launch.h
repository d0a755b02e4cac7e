// The two ends of a run: the parent starts the child and waits; the child runs the main binary.
#pragma once

#include <cstdint>

// Child: loads the main binary from the target directory and returns its entry point's result.
int run_main_binary();
// Parent: starts the child, waits for it without a limit, cleans up and returns its exit status
// (1 when the status cannot be read).
uint32_t launch_child_and_wait();
