// Console events on Linux: every signal that would end the parent by default and can be caught,
// taken by a thread of their own so that the cleanup may do anything a normal thread can.
#include <pthread.h>
#include <csignal>

#include "platform/platform.h"
#include "posix_internal.h"

namespace {

bool (*g_handler)(int) = nullptr;

constexpr int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE};

// The signals this parent takes: those the caller left at their default. One the caller set to be
// ignored (nohup, a background job) stays ignored here and in the child.
sigset_t console_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : HANDLED_SIGNALS) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&set, signal_number);
    }
    return set;
}

// SIGINT is the terminal's Ctrl+C: the child decides what it means. Every other signal asks the
// parent to end, as a closing console does.
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

sigset_t g_console_signals;

void* signal_thread(void*) {
    for (;;) {
        siginfo_t info{};
        const int signal_number = sigwaitinfo(&g_console_signals, &info);
        if (signal_number < 0) continue;
        set_console_signal_handling(true);
        // No child starts while the signal is handled: it is either running and known, or never
        // started. The lock is kept until the process ends.
        lock_child_start();
        // A signal from the terminal reaches the whole foreground group, the child included; one
        // sent to this process alone is passed on, so the child gets each event once.
        if (info.si_code != SI_KERNEL) forward_signal_to_child(signal_number);
        if (g_handler(static_cast<int>(event_of(signal_number)))) {
            unlock_child_start();
            set_console_signal_handling(false);
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

bool platform_register_console_handler(bool (*handler)(int event)) {
    g_handler = handler;
    g_console_signals = console_signals();
    if (pthread_sigmask(SIG_BLOCK, &g_console_signals, nullptr) != 0) return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, signal_thread, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}
