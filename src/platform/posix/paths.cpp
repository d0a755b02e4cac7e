// Paths on Linux: temporary and user folders, the executable's own path, absolute and final paths.
#include <link.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "platform/platform.h"
#include "utf8.h"

namespace {

constexpr size_t FOLDER_CAPACITY = 260;

// Copies a UTF-8 path into a wide buffer with the GetTempPathW convention: nothing is written when
// it does not fit.
uint32_t store_wide(const char* value, wchar_t* out, uint64_t capacity) {
    const size_t needed = utf8_to_wide(value, nullptr, 0);
    if (needed > capacity) return static_cast<uint32_t>(needed);
    return static_cast<uint32_t>(utf8_to_wide(value, out, static_cast<size_t>(capacity)));
}

const char* home_directory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr ? entry->pw_dir : nullptr;
}

uint32_t read_link(const char* link, wchar_t* out, uint32_t capacity) {
    char target[PATH_MAX + 1];
    const ssize_t length = readlink(link, target, PATH_MAX);
    if (length <= 0) return 0;
    target[length] = '\0';
    const size_t written = utf8_to_wide(target, out, capacity);
    return static_cast<uint32_t>(written);
}

}  // namespace

bool platform_temp_path(wchar_t* out, uint64_t capacity) {
    const char* tmpdir = getenv("TMPDIR");
    const char* path = (tmpdir != nullptr && tmpdir[0] == '/') ? tmpdir : "/tmp";
    return utf8_to_wide(path, nullptr, 0) <= capacity && store_wide(path, out, capacity) < capacity;
}

bool platform_folder_path(ShellFolder folder, wchar_t* out) {
    const char* home = home_directory();
    char path[PATH_MAX];
    if (folder == ShellFolder::Profile) {
        if (home == nullptr) return false;
        snprintf(path, sizeof path, "%s", home);
    } else {
        const char* cache = getenv("XDG_CACHE_HOME");
        if (cache != nullptr && cache[0] == '/') {
            snprintf(path, sizeof path, "%s", cache);
        } else {
            if (home == nullptr) return false;
            if (snprintf(path, sizeof path, "%s/.cache", home) >= static_cast<int>(sizeof path)) return false;
        }
    }
    const size_t needed = utf8_to_wide(path, nullptr, 0);
    if (needed > FOLDER_CAPACITY) return false;
    utf8_to_wide(path, out, FOLDER_CAPACITY);
    return true;
}

uint32_t platform_current_process_id() { return static_cast<uint32_t>(getpid()); }

void platform_performance_counter(int64_t* counter) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    *counter = static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int64_t platform_system_time() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Seconds between 1601-01-01 and 1970-01-01, so both platforms count from the same origin.
    constexpr int64_t EPOCH_DIFFERENCE = 11644473600LL;
    return (static_cast<int64_t>(now.tv_sec) + EPOCH_DIFFERENCE) * 10000000LL + now.tv_nsec / 100;
}

uint32_t platform_full_path(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    // Lexical, like the Windows call: relative paths join the current directory, "." and ".."
    // components fold away, runs of separators become one. Nothing is looked up on disk.
    char narrow[NARROW_PATH_CAPACITY];
    if (!wide_to_utf8(path, narrow, sizeof narrow) || narrow[0] == '\0') return 0;
    static char joined[NARROW_PATH_CAPACITY + PATH_MAX + 2];
    if (narrow[0] == '/') {
        snprintf(joined, sizeof joined, "%s", narrow);
    } else {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
        snprintf(joined, sizeof joined, "%s/%s", cwd, narrow);
    }
    static char normal[sizeof joined];
    size_t length = 0;
    const char* p = joined;
    while (*p != '\0') {
        while (*p == '/') ++p;
        const char* start = p;
        while (*p != '\0' && *p != '/') ++p;
        const size_t n = static_cast<size_t>(p - start);
        if (n == 0 || (n == 1 && start[0] == '.')) continue;
        if (n == 2 && start[0] == '.' && start[1] == '.') {
            while (length > 0 && normal[length - 1] != '/') --length;
            if (length > 0) --length;
            continue;
        }
        normal[length++] = '/';
        memcpy(normal + length, start, n);
        length += n;
    }
    if (length == 0) normal[length++] = '/';
    normal[length] = '\0';
    const size_t needed = utf8_to_wide(normal, nullptr, 0);
    if (needed > capacity) return static_cast<uint32_t>(needed);
    return static_cast<uint32_t>(utf8_to_wide(normal, out, capacity));
}

namespace {

int note_interpreter(dl_phdr_info* info, size_t, void* found) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_INTERP) *static_cast<bool*>(found) = true;
    }
    return 1;  // the first object is the program itself
}

}  // namespace

bool platform_own_image_known() {
    char target[16];
    if (readlink("/proc/self/exe", target, sizeof target) <= 0) return false;
    // A program that names an interpreter but was not given one by the system was started through
    // the dynamic loader: its running image is the loader, which would run the user's first
    // argument as a program if restarted.
    bool has_interpreter = false;
    dl_iterate_phdr(note_interpreter, &has_interpreter);
    return !(has_interpreter && getauxval(AT_BASE) == 0);
}

uint32_t platform_module_file_name(wchar_t* out, uint32_t capacity) {
    return read_link("/proc/self/exe", out, capacity);
}

bool platform_process_image_path(uint32_t pid, wchar_t* out, uint32_t capacity) {
    char link[64];
    snprintf(link, sizeof link, "/proc/%u/exe", pid);
    const uint32_t length = read_link(link, out, capacity);
    return length > 0 && length < capacity;
}

void* platform_open_for_final_path(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!wide_to_utf8(path, narrow, sizeof narrow)) return nullptr;
    struct stat info {};
    if (stat(narrow, &info) != 0) return nullptr;
    return strdup(narrow);
}

uint32_t platform_final_path_and_close(void* handle, wchar_t* out, uint32_t capacity) {
    char* narrow = static_cast<char*>(handle);
    char* resolved = realpath(narrow, nullptr);
    free(narrow);
    if (resolved == nullptr) return 0;
    const size_t needed = utf8_to_wide(resolved, nullptr, 0);
    uint32_t result;
    if (needed > capacity) {
        result = static_cast<uint32_t>(needed);
    } else {
        result = static_cast<uint32_t>(utf8_to_wide(resolved, out, capacity));
    }
    free(resolved);
    return result;
}

uint32_t platform_short_path(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    // Linux file systems have no short names: the short form of a path is the path itself.
    char narrow[NARROW_PATH_CAPACITY];
    struct stat info {};
    if (!wide_to_utf8(path, narrow, sizeof narrow) || stat(narrow, &info) != 0) return 0;
    const size_t length = wcslen(path);
    if (out == nullptr || capacity < length + 1) return static_cast<uint32_t>(length + 1);
    wmemcpy(out, path, length + 1);
    return static_cast<uint32_t>(length);
}
