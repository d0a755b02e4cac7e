// What the Linux backend's files share, behind functions: each piece of state has one owner file.
#pragma once

#include <cstdint>

// ---- process.cpp ------------------------------------------------------------------------------------

// Taken by the console signal thread for the whole handling of a signal, and while a child is
// being started: a signal finds the child either started and known, or not started and never to be.
void lock_child_start();
void unlock_child_start();
// Sends a console signal on to the running child, if there is one.
void forward_signal_to_child(int signal_number);
// The dynamic loader's own description of the last failed load when `code` is the pseudo error
// code such a failure reports, else null.
const char* load_error_text(uint32_t code);

// ---- console.cpp ------------------------------------------------------------------------------------

// True once a console signal is being handled: the process then ends by that signal, and the main
// thread must not end it first with a status of its own.
bool console_signal_being_handled();
