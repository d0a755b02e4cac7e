// The child process and the main binary on Linux. A child is held through a pidfd: unlike a
// process id it can never come to name another process, so waiting, signalling and reaping from
// two threads stay safe.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "posix_internal.h"
#include "utf8.h"

extern char** environ;

namespace {

std::atomic<int> g_forward_pidfd{-1};
// Held while a child is being started and while a console signal is handled: a signal either
// finds the child started and known, or no child at all and none will be started after it.
pthread_mutex_t g_child_start_lock = PTHREAD_MUTEX_INITIALIZER;

int fd_of(ProcessHandle process) { return static_cast<int>(process - 1); }
ProcessHandle handle_of(int fd) { return static_cast<ProcessHandle>(fd) + 1; }

int pidfd_open(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Pseudo error code for a load the dynamic loader refused; its text is the loader's own message.
constexpr uint32_t LOAD_ERROR_CODE = ENOEXEC;

}  // namespace

void lock_child_start() { pthread_mutex_lock(&g_child_start_lock); }
void unlock_child_start() { pthread_mutex_unlock(&g_child_start_lock); }

// ---- the library path of the child ---------------------------------------------------------------------

namespace {

char* g_child_library_directory = nullptr;

// Appends "NAME=" and the parts to the child's environment; false when it cannot be had.
bool add_variable(char** environment, size_t* used, const char* name, const char* first, const char* second = "",
                  const char* third = "") {
    const size_t size = strlen(name) + 1 + strlen(first) + strlen(second) + strlen(third) + 1;
    char* text = static_cast<char*>(malloc(size));
    if (text == nullptr) return false;
    snprintf(text, size, "%s=%s%s%s", name, first, second, third);
    environment[(*used)++] = text;
    return true;
}

bool is_variable(const char* entry, const char* name) {
    const size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// The child's environment: the launcher's, with the variables that only a child of ours may
// receive. The first `*ours` entries are ours to free. Null when it cannot be had.
char** child_environment(size_t* ours) {
    size_t count = 0;
    while (environ[count] != nullptr) ++count;
    auto** copy = static_cast<char**>(calloc(count + 5, sizeof(char*)));
    if (copy == nullptr) return nullptr;
    size_t used = 0;
    char pid[24];
    snprintf(pid, sizeof pid, "%ld", static_cast<long>(getpid()));
    bool made = add_variable(copy, &used, CHILD_OF_VARIABLE, pid);
    if (made && child_signal_was_ignored()) made = add_variable(copy, &used, SAVED_SIGCHLD_VARIABLE, "ignored");
    const char* original = getenv("LD_LIBRARY_PATH");
    if (made && g_child_library_directory != nullptr) {
        made = add_variable(copy, &used, "LD_LIBRARY_PATH", g_child_library_directory,
                            original != nullptr && original[0] != '\0' ? ":" : "", original != nullptr ? original : "");
        if (made) {
            made = add_variable(copy, &used, SAVED_LIBRARY_PATH_VARIABLE, original != nullptr ? "+" : "-",
                                original != nullptr ? original : "");
        }
    }
    *ours = used;
    if (!made) {
        for (size_t i = 0; i < used; ++i) free(copy[i]);
        free(copy);
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        if (g_child_library_directory != nullptr && is_variable(environ[i], "LD_LIBRARY_PATH")) continue;
        copy[used++] = environ[i];
    }
    return copy;
}

void free_child_environment(char** environment, size_t ours) {
    if (environment == nullptr) return;
    for (size_t i = 0; i < ours; ++i) free(environment[i]);
    free(environment);
}

}  // namespace

void platform_set_child_library_directory(const wchar_t* directory) {
    free(g_child_library_directory);
    g_child_library_directory = wide_to_utf8_alloc(directory);
}

wchar_t** platform_command_line_arguments(int* count) {
    // Linux has no command line to split: the child gets the vector main received. The copy is
    // of the pointers only, so replacing argument 0 leaves the runtime's vector as it was.
    *count = platform_argc();
    auto** copy = static_cast<wchar_t**>(calloc(static_cast<size_t>(*count) + 1, sizeof(wchar_t*)));
    if (copy == nullptr) return nullptr;
    for (int i = 0; i < *count; ++i) copy[i] = platform_wargv()[i];
    return copy;
}

namespace {

ProcessHandle start_child_locked(const wchar_t* module_path, int count, wchar_t* const* arguments,
                                 std::atomic<ProcessHandle>* shared_handle) {
    // Back to the bytes main received: the wide form carries bytes that are not UTF-8 as U+DC80 to
    // U+DCFF, which the conversion turns back into those bytes, so every argument arrives as it was
    // given. Argument 0 names this executable.
    auto** argv = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
    if (argv == nullptr) {
        errno = ENOMEM;
        return NO_PROCESS;
    }
    char* path = wide_to_utf8_alloc(module_path);
    bool converted = path != nullptr;
    argv[0] = path;
    for (int i = 1; i < count && converted; ++i) {
        argv[i] = wide_to_utf8_alloc(arguments[i]);
        converted = argv[i] != nullptr;
    }
    if (!converted) {
        for (int i = 0; i < count; ++i) free(argv[i]);
        free(argv);
        errno = ENOMEM;
        return NO_PROCESS;
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The parent blocks its console signals for the thread that handles them; the child starts
    // with the mask the launcher was given. Dispositions pass as they are: a signal the caller set
    // to be ignored stays ignored in the child, the others are at their default.
    sigset_t initial;
    initial_signal_mask(&initial);
    posix_spawnattr_setsigmask(&attributes, &initial);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    // The child starts from this process's own running image, not from the path: an executable
    // deleted or replaced while it unpacked still starts the child it unpacked for.
    size_t ours = 0;
    char** environment = child_environment(&ours);
    pid_t pid = 0;
    const int error =
        environment == nullptr ? ENOMEM : posix_spawn(&pid, "/proc/self/exe", nullptr, &attributes, argv, environment);
    posix_spawnattr_destroy(&attributes);
    for (int i = 0; i < count; ++i) free(argv[i]);
    free(argv);
    free_child_environment(environment, ours);
    if (error != 0) {
        errno = error;
        return NO_PROCESS;
    }
    const int pidfd = pidfd_open(pid);
    if (pidfd < 0) {
        const int saved = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = saved;
        return NO_PROCESS;
    }
    const int shared = fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
    const int forward = fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
    shared_handle->store(shared >= 0 ? handle_of(shared) : NO_PROCESS);
    if (forward >= 0) g_forward_pidfd.store(forward);
    return handle_of(pidfd);
}

}  // namespace

ChildStart platform_start_child(const wchar_t* module_path, int count, wchar_t* const* arguments,
                                std::atomic<ProcessHandle>* shared_handle, ProcessHandle* own) {
    lock_child_start();
    *own = start_child_locked(module_path, count, arguments, shared_handle);
    const int saved = errno;
    unlock_child_start();
    errno = saved;
    return *own == NO_PROCESS ? ChildStart::Failed : ChildStart::Started;
}

bool platform_wait_process(ProcessHandle process, uint32_t milliseconds) {
    // Polling a pidfd waits for the end without reaping, so another thread may wait as well.
    pollfd entry{fd_of(process), POLLIN, 0};
    const int timeout = milliseconds == UINT32_MAX ? -1 : static_cast<int>(milliseconds);
    for (;;) {
        const int ready = poll(&entry, 1, timeout);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool platform_process_exit_status(ProcessHandle process, uint32_t* status) {
    siginfo_t info{};
    if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd_of(process)), &info, WEXITED) != 0) {
        return false;
    }
    if (info.si_code == CLD_EXITED) {
        *status = static_cast<uint32_t>(info.si_status);
    } else {
        *status = 128u + static_cast<uint32_t>(info.si_status);  // the shells' convention for a signal
    }
    return true;
}

void platform_end_with_parent() {
    const uint32_t parent = launcher_parent();
    if (parent == 0) return;  // not started by a launcher parent (a nested start, say)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have ended before the request was made: then this process was handed to
    // another and the signal never comes.
    if (static_cast<uint32_t>(getppid()) != parent) kill(getpid(), SIGKILL);
}

void platform_terminate_process(ProcessHandle process) {
    syscall(SYS_pidfd_send_signal, fd_of(process), SIGKILL, nullptr, 0);
}

void platform_close_process(ProcessHandle process) { close(fd_of(process)); }

void forward_signal_to_child(int signal_number) {
    const int pidfd = g_forward_pidfd.load();
    if (pidfd >= 0) syscall(SYS_pidfd_send_signal, pidfd, signal_number, nullptr, 0);
}

void platform_enter_application() {
    if (child_signal_was_ignored()) signal(SIGCHLD, SIG_IGN);
}

void platform_add_library_directory(const wchar_t*) {
    // The main binary finds the libraries beside it through its own run path ($ORIGIN).
}

void* platform_load_main_binary(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!wide_to_utf8(path, narrow, sizeof narrow)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // Global, as an executable's symbols are: the extension modules an interpreter loads later
    // resolve its symbols through it.
    void* library = dlopen(narrow, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        remember_load_error(LOAD_ERROR_CODE, reason != nullptr ? reason : "cannot load");
        errno = static_cast<int>(LOAD_ERROR_CODE);
    }
    return library;
}

MainBinaryEntry platform_main_binary_entry(void* library) {
    return reinterpret_cast<MainBinaryEntry>(dlsym(library, "onefile_main"));
}
