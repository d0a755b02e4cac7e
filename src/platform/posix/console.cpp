// Console events on Linux: SIGINT, SIGTERM and SIGHUP, taken by a thread of their own so that the
// cleanup may do anything a normal thread can.
#include <pthread.h>
#include <csignal>

#include "platform/platform.h"
#include "posix_internal.h"

namespace {

std::atomic<bool> g_console_signal_handling{false};

bool (*g_handler)(int) = nullptr;

sigset_t console_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

ConsoleEvent event_of(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return ConsoleEvent::CtrlC;
        case SIGHUP:
            return ConsoleEvent::Close;
        default:
            return ConsoleEvent::Shutdown;
    }
}

void* signal_thread(void*) {
    const sigset_t set = console_signals();
    for (;;) {
        siginfo_t info{};
        const int signal_number = sigwaitinfo(&set, &info);
        if (signal_number < 0) continue;
        g_console_signal_handling.store(true);
        // No child starts while the signal is handled: it is either running and known, or never
        // started. The lock is kept until the process ends.
        lock_child_start();
        // A signal from the terminal reaches the whole foreground group, the child included; one
        // sent to this process alone is passed on, so the child gets each event once.
        if (info.si_code != SI_KERNEL) forward_signal_to_child(signal_number);
        if (g_handler(static_cast<int>(event_of(signal_number)))) {
            unlock_child_start();
            g_console_signal_handling.store(false);
            continue;
        }
        // The default action ends the process with this signal, as if no one had handled it.
        signal(signal_number, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal_number);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(signal_number);
    }
    return nullptr;
}

}  // namespace

bool console_signal_being_handled() { return g_console_signal_handling.load(); }

bool platform_register_console_handler(bool (*handler)(int event)) {
    g_handler = handler;
    const sigset_t set = console_signals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, signal_thread, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}
