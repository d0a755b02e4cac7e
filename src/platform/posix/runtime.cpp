// Process start and end, messages and the environment on Linux.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "posix_internal.h"
#include "utf8.h"

namespace {

int g_wide_argc = 0;
wchar_t** g_wide_argv = nullptr;

}  // namespace

namespace {

sigset_t g_initial_mask;
uint32_t g_launcher_parent = 0;
bool g_child_signal_was_ignored = false;
std::atomic<bool> g_console_signal_handling{false};
// The loader's own description of the last failed load, and the pseudo error code it goes with.
char g_load_error_text[1024];
uint32_t g_load_error_code = 0;

// The library path the caller gave, back in place for a child the parent started with the target
// directory in front of it: the loader has read the path at start, so the child's own loads keep
// the target directory, and the programs the application starts get the caller's path back.
void restore_library_path() {
    const char* saved = getenv(SAVED_LIBRARY_PATH_VARIABLE);
    if (saved == nullptr) return;
    if (saved[0] == '+') {
        setenv("LD_LIBRARY_PATH", saved + 1, 1);
    } else {
        unsetenv("LD_LIBRARY_PATH");
    }
}

}  // namespace

void initial_signal_mask(sigset_t* mask) { *mask = g_initial_mask; }
uint32_t launcher_parent() { return g_launcher_parent; }
bool child_signal_was_ignored() { return g_child_signal_was_ignored; }
void set_console_signal_handling(bool handling) { g_console_signal_handling.store(handling); }

void remember_load_error(uint32_t code, const char* text) {
    snprintf(g_load_error_text, sizeof g_load_error_text, "%s", text);
    g_load_error_code = code;
}

void platform_start(int native_argc, char** native_argv) {
    pthread_sigmask(SIG_SETMASK, nullptr, &g_initial_mask);
    const char* child_of = getenv(CHILD_OF_VARIABLE);
    g_launcher_parent = child_of != nullptr ? static_cast<uint32_t>(strtoul(child_of, nullptr, 10)) : 0;
    if (g_launcher_parent != 0) {
        restore_library_path();
        if (getenv(SAVED_SIGCHLD_VARIABLE) != nullptr) signal(SIGCHLD, SIG_IGN);
    } else {
        // The parent needs SIGCHLD at its default, or the system would reap its child before its
        // status is read; the child gets the caller's ignore back.
        struct sigaction child_action {};
        if (sigaction(SIGCHLD, nullptr, &child_action) == 0 && child_action.sa_handler == SIG_IGN) {
            signal(SIGCHLD, SIG_DFL);
            g_child_signal_was_ignored = true;
        }
    }
    // Whatever a caller put there is not passed on.
    unsetenv(CHILD_OF_VARIABLE);
    unsetenv(SAVED_LIBRARY_PATH_VARIABLE);
    unsetenv(SAVED_SIGCHLD_VARIABLE);
    // No library search order to adjust: the main binary is loaded by absolute path and finds its
    // own libraries through its run path.
    g_wide_argv = static_cast<wchar_t**>(calloc(static_cast<size_t>(native_argc) + 1, sizeof(wchar_t*)));
    if (g_wide_argv == nullptr) platform_fatal_stop();
    for (int i = 0; i < native_argc; ++i) {
        g_wide_argv[i] = utf8_to_wide_alloc(native_argv[i]);
        if (g_wide_argv[i] == nullptr) platform_fatal_stop();
    }
    g_wide_argc = native_argc;
}

int platform_argc() { return g_wide_argc; }
wchar_t** platform_wargv() { return g_wide_argv; }

// The linker's symbol at the ELF header, the first byte of the first loaded segment.
extern "C" const char __ehdr_start[];

const uint8_t* platform_image_base() { return reinterpret_cast<const uint8_t*>(__ehdr_start); }

void platform_exit(int status) {
    // While a console signal is handled, the handling thread ends the process by that signal once
    // the cleanup is done; a status of the main thread's own must not overtake it.
    while (g_console_signal_handling.load()) pause();
    exit(status);
}

void platform_fatal_stop() { _exit(3); }

void platform_stderr_printf(const char* format, ...) {
    // Wide arguments are printed as UTF-8 whatever locale the application runs under; the locale
    // is switched for this thread and this call only.
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    locale_t previous = utf8 != static_cast<locale_t>(0) ? uselocale(utf8) : static_cast<locale_t>(0);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stderr);
    if (previous != static_cast<locale_t>(0)) uselocale(previous);
}

const wchar_t* platform_system_error_text(uint32_t code) {
    if (g_load_error_code != 0 && code == g_load_error_code) return utf8_to_wide_alloc(g_load_error_text);
    char text[512];
    const char* message = strerror_r(static_cast<int>(code), text, sizeof text);
    if (message == nullptr || strncmp(message, "Unknown error", 13) == 0) return nullptr;
    return utf8_to_wide_alloc(message);
}

uint32_t platform_last_error() { return static_cast<uint32_t>(errno); }

uint32_t platform_get_env(const wchar_t* name, wchar_t* buffer, uint32_t capacity) {
    char narrow_name[256];
    if (!wide_to_utf8(name, narrow_name, sizeof narrow_name)) return 0;
    const char* value = getenv(narrow_name);
    if (value == nullptr || value[0] == '\0') return 0;
    return static_cast<uint32_t>(utf8_to_wide(value, buffer, capacity));
}

void platform_set_env(const wchar_t* name, const wchar_t* value) {
    char narrow_name[256];
    if (!wide_to_utf8(name, narrow_name, sizeof narrow_name)) return;
    if (value == nullptr) {
        unsetenv(narrow_name);
        return;
    }
    char* narrow_value = wide_to_utf8_alloc(value);
    if (narrow_value == nullptr) return;
    setenv(narrow_name, narrow_value, 1);
    free(narrow_value);
}

// Linux processes have one environment, which setenv has already changed.
void platform_runtime_putenv(wchar_t*) {}
void platform_loaded_module_putenv(const wchar_t*, wchar_t*) {}

void platform_sleep_ms(uint32_t milliseconds) {
    timespec pause{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {}
}

void* platform_allocate(size_t bytes) { return malloc(bytes); }
void platform_free(void* block) { free(block); }

void platform_release_read_pages(const void* start, size_t length) {
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(page - 1);
    // The attached data is a read-only file mapping: dropped pages come back from the file if they
    // are ever touched again.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED);
}

namespace {

void* run_thread(void* argument) {
    ThreadStart* start = static_cast<ThreadStart*>(argument);
    start->function(start->argument);
    return nullptr;
}

}  // namespace

bool platform_start_thread(ThreadStart* start) {
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, run_thread, start) != 0) return false;
    start->handle = static_cast<intptr_t>(thread);
    return true;
}

void platform_join_thread(ThreadStart* start) { pthread_join(static_cast<pthread_t>(start->handle), nullptr); }

uint32_t platform_processor_count() {
    // The affinity, not the machine: a process confined to some processors (a container's share,
    // taskset) gains nothing from more threads than it may run at once.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int count = CPU_COUNT(&set);
    return count < 1 ? 1 : static_cast<uint32_t>(count);
}
