// The test platform's pieces that differ between the systems: Linux.
#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "test_platform.h"

void test_platform::set_last_error(uint32_t error) { errno = static_cast<int>(error); }

void test_platform::join_stdout_to_stderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}
