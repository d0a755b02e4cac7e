// What the Linux backend's files share, behind functions: each piece of state has one owner file.
#pragma once

#include <csignal>
#include <cstdint>

// ---- process.cpp ------------------------------------------------------------------------------------

// Taken by the console signal thread for the whole handling of a signal, and while a child is
// being started: a signal finds the child either started and known, or not started and never to be.
void lock_child_start();
void unlock_child_start();
// Sends a console signal on to the running child, if there is one.
void forward_signal_to_child(int signal_number);
// Variables only a launcher parent gives its child, in the child's environment alone: the
// parent's process id, the caller's library path ("+" and the value, or "-" when it had none) and
// a SIGCHLD the caller ignored. The child takes them out at start, so the application and the
// programs it starts never see them; a launcher that was not started by a parent ignores them.
inline constexpr char CHILD_OF_VARIABLE[] = "VARNOK_ONEFILE_CHILD_OF";
inline constexpr char SAVED_LIBRARY_PATH_VARIABLE[] = "VARNOK_ONEFILE_SAVED_LD_LIBRARY_PATH";
inline constexpr char SAVED_SIGCHLD_VARIABLE[] = "VARNOK_ONEFILE_SAVED_SIGCHLD";

// ---- runtime.cpp ------------------------------------------------------------------------------------

// The signal mask the launcher was started with, for the child to start with too.
void initial_signal_mask(sigset_t* mask);
// The process id of the launcher parent that started this process, or 0.
uint32_t launcher_parent();
// Whether the caller had SIGCHLD ignored (the parent itself then takes the default).
bool child_signal_was_ignored();
// Keeps the dynamic loader's own description of a failed load, reported with the pseudo error
// code `code` (the system error text of that code is then the loader's text).
void remember_load_error(uint32_t code, const char* text);
// Set while a console signal is being handled: the process then ends by that signal, and the main
// thread must not end it first with a status of its own.
void set_console_signal_handling(bool handling);
