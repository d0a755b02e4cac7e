// The two ends of a run: the parent starts the child and waits; the child runs the main binary.
#pragma once

#include <cstdint>

// Child: loads the main binary from the target directory and returns its entry point's result.
int run_main_binary();
// Parent of a cached start: loads the main binary from the target directory and calls its entry
// in this process, with the arguments a child would have had (argument 0 the launcher's own
// path), and returns its result. Failures end the process as in the child.
int run_main_binary_in_process();
// Parent: starts the child, waits for it without a limit, cleans up and returns its exit status
// (1 when the status cannot be read).
uint32_t launch_child_and_wait();
