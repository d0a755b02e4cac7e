// The test platform's pieces that differ between the systems: Windows.
#include <io.h>
#include <cstdio>

#include "test_platform.h"
#include "windows_support.h"

void test_platform::set_last_error(uint32_t error) { SetLastError(error); }

bool test_platform::set_age(const std::wstring& path, int64_t seconds) {
    // Directories open only with backup semantics.
    const HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -= static_cast<ULONGLONG>(seconds) * 10000000ULL;
    FILETIME then{value.LowPart, value.HighPart};
    const bool set = SetFileTime(handle, nullptr, &then, &then) != FALSE;
    CloseHandle(handle);
    return set;
}

void test_platform::join_stdout_to_stderr() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
}
