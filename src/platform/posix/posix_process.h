#pragma once

#include <atomic>
#include <pthread.h>

// Taken by the console signal thread for the whole handling of a signal (see process.cpp).
extern pthread_mutex_t g_child_start_lock;
// Set once a console signal is being handled: the process then ends by that signal, and the main
// thread must not end it first with a status of its own.
extern std::atomic<bool> g_console_signal_handling;
// Sends a console signal on to the running child, if there is one.
void forward_signal_to_child(int signal_number);
