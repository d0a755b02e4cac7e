// The child process and the main binary on Linux. A child is held through a pidfd: unlike a
// process id it can never come to name another process, so waiting, signalling and reaping from
// two threads stay safe.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "posix_process.h"
#include "posix_state.h"
#include "utf8.h"

extern char** environ;

std::atomic<int> g_forward_pidfd{-1};
// Held while a child is being started and while a console signal is handled: a signal either
// finds the child started and known, or no child at all and none will be started after it.
pthread_mutex_t g_child_start_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

int fd_of(ProcessHandle process) { return static_cast<int>(process - 1); }
ProcessHandle handle_of(int fd) { return static_cast<ProcessHandle>(fd) + 1; }

int pidfd_open(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Pseudo error code for a load the dynamic loader refused; its text is the loader's own message.
constexpr uint32_t LOAD_ERROR_CODE = ENOEXEC;

}  // namespace

bool platform_child_needs_command_line() { return false; }

wchar_t** platform_split_command_line(int* count) {
    // Linux passes the vector itself, not a line: the split is the vector as received.
    *count = g_native_argc;
    auto** copy = static_cast<wchar_t**>(calloc(static_cast<size_t>(g_native_argc) + 1, sizeof(wchar_t*)));
    if (copy == nullptr) return nullptr;
    for (int i = 0; i < g_native_argc; ++i) {
        copy[i] = utf8_to_wide_alloc(g_native_argv[i]);
        if (copy[i] == nullptr) return nullptr;
    }
    return copy;
}

namespace {

ProcessHandle start_child_locked(const wchar_t* module_path, std::atomic<ProcessHandle>* shared_handle) {
    char* path = wide_to_utf8_alloc(module_path);
    auto** argv = static_cast<char**>(calloc(static_cast<size_t>(g_native_argc) + 2, sizeof(char*)));
    if (path == nullptr || argv == nullptr) {
        errno = ENOMEM;
        return NO_PROCESS;
    }
    // The arguments exactly as received, byte for byte; argument 0 names this executable.
    argv[0] = path;
    for (int i = 1; i < g_native_argc; ++i) argv[i] = g_native_argv[i];

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The parent blocks its console signals for the thread that handles them; the child must
    // start with the default mask and actions.
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int error = posix_spawn(&pid, path, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    free(argv);
    free(path);
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

ProcessHandle platform_start_child(const wchar_t* module_path, wchar_t*, std::atomic<ProcessHandle>* shared_handle) {
    pthread_mutex_lock(&g_child_start_lock);
    const ProcessHandle own = start_child_locked(module_path, shared_handle);
    const int saved = errno;
    pthread_mutex_unlock(&g_child_start_lock);
    errno = saved;
    return own;
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

void platform_terminate_process(ProcessHandle process) {
    syscall(SYS_pidfd_send_signal, fd_of(process), SIGKILL, nullptr, 0);
}

void platform_close_process(ProcessHandle process) { close(fd_of(process)); }

void forward_signal_to_child(int signal_number) {
    const int pidfd = g_forward_pidfd.load();
    if (pidfd >= 0) syscall(SYS_pidfd_send_signal, pidfd, signal_number, nullptr, 0);
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
    void* library = dlopen(narrow, RTLD_NOW);
    if (library == nullptr) {
        const char* reason = dlerror();
        snprintf(g_dl_error_text, sizeof g_dl_error_text, "%s", reason != nullptr ? reason : "cannot load");
        g_dl_error_code = LOAD_ERROR_CODE;
        errno = static_cast<int>(LOAD_ERROR_CODE);
    }
    return library;
}

MainBinaryEntry platform_main_binary_entry(void* library) {
    return reinterpret_cast<MainBinaryEntry>(dlsym(library, "onefile_main"));
}
