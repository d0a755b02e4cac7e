// The test platform's pieces that differ between the systems: Windows.
#include <io.h>
#include <cstdio>

#include "test_platform.h"
#include "windows_support.h"

void test_platform::set_last_error(uint32_t error) { SetLastError(error); }

bool test_platform::file_time(const std::wstring& path, int64_t* seconds, uint32_t* nanoseconds) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    const int64_t intervals = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                                   data.ftLastWriteTime.dwLowDateTime);
    const int64_t since_1970 = intervals - 116444736000000000LL;
    // Floor division, so times before 1970 keep a positive sub-second part.
    int64_t whole = since_1970 / 10000000;
    int64_t rest = since_1970 % 10000000;
    if (rest < 0) {
        rest += 10000000;
        whole -= 1;
    }
    *seconds = whole;
    *nanoseconds = static_cast<uint32_t>(rest * 100);
    return true;
}

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
