// The test platform's pieces that differ between the systems: Windows.
#include <cstdio>
#include <io.h>

#include "test_platform.h"
#include "windows_support.h"

void test_platform::set_last_error(uint32_t error) { SetLastError(error); }

void test_platform::join_stdout_to_stderr() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
}
