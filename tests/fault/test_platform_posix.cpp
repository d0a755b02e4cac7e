// The test platform's pieces that differ between the systems: Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include <ctime>
#include <filesystem>

#include "test_platform.h"

void test_platform::set_last_error(uint32_t error) { errno = static_cast<int>(error); }

bool test_platform::file_time(const std::wstring& path, int64_t* seconds, uint32_t* nanoseconds) {
    struct stat info {};
    if (stat(std::filesystem::path(path).string().c_str(), &info) != 0) return false;
    *seconds = info.st_mtim.tv_sec;
    *nanoseconds = static_cast<uint32_t>(info.st_mtim.tv_nsec);
    return true;
}

bool test_platform::set_age(const std::wstring& path, int64_t seconds) {
    const std::string narrow = std::filesystem::path(path).string();
    timespec times[2];
    times[0].tv_sec = time(nullptr) - seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return utimensat(AT_FDCWD, narrow.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

void test_platform::join_stdout_to_stderr() {
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}
