#include "interrupt.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<int, std::pair<fs::path, TemporaryKind>> paths;
    int next_id = 1;
    pid_t child_group = 0;
};

Registry& registry() {
    // Never destroyed: the cleanup thread may still use it while static destructors run.
    static Registry* instance = new Registry;
    return *instance;
}

sigset_t interrupt_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

[[noreturn]] void clean_up_and_die(int signal_number) {
    Registry& reg = registry();
    // Kept to the end: the main thread blocks at its next creation instead of racing the removal.
    std::unique_lock lock(reg.mutex);
    if (reg.child_group > 0) {
        // The linker writes the output and its own temporary files: it must be gone before they
        // are removed. Its driver cleans up after itself on these signals.
        ::kill(-reg.child_group, signal_number);
        siginfo_t info{};
        // WNOWAIT: the main thread, waiting for the same child, still reaps it (or already has,
        // and then there is no child to wait for).
        while (::waitid(P_PID, static_cast<id_t>(reg.child_group), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {}
        // Whatever of the group outlived its leader.
        ::kill(-reg.child_group, SIGKILL);
    }
    for (const auto& [id, entry] : reg.paths) {
        std::error_code ignored;
        if (entry.second == TemporaryKind::Tree) {
            fs::remove_all(entry.first, ignored);
        } else {
            fs::remove(entry.first, ignored);
        }
    }
    // The default action of the same signal, delivered to this thread, the only one where it is
    // not blocked.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
    ::raise(signal_number);
    ::_exit(128 + signal_number);
}

}  // namespace

std::unique_lock<std::mutex> lock_temporaries() { return std::unique_lock(registry().mutex); }

int register_temporary(const fs::path& path, TemporaryKind kind) {
    Registry& reg = registry();
    const int id = reg.next_id++;
    reg.paths.emplace(id, std::make_pair(path, kind));
    return id;
}

void forget_temporary(int id) { registry().paths.erase(id); }

void set_child_group(pid_t group) { registry().child_group = group; }

namespace {
PhaseHook phase_hook = nullptr;
}

void set_phase_hook(PhaseHook hook) { phase_hook = hook; }

void reached_phase(const char* phase) {
    if (phase_hook != nullptr) {
        phase_hook(phase);
    }
}

void install_interrupt_cleanup() {
    const sigset_t set = interrupt_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Every thread started from here on (the compressor's workers, the progress line) inherits
    // the blocked set, so the signals reach only the waiting thread.
    std::thread([set] {
        int signal_number = 0;
        while (::sigwait(&set, &signal_number) != 0) {}
        clean_up_and_die(signal_number);
    }).detach();
}

}  // namespace onefile::pack
