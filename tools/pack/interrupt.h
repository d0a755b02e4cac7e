// Leaving nothing behind when a signal ends a pack: every temporary file and directory the packer
// creates, and the linker's process group while it runs, are registered here; SIGINT, SIGTERM and
// SIGHUP then end the compiler, remove what is registered and end the packer by the same signal.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>

namespace onefile::pack {

// Held while something is created and registered, so that the cleanup finds either neither or
// both; the cleanup takes it and keeps it to the end, so nothing is created behind its back.
std::unique_lock<std::mutex> lock_temporaries();

enum class TemporaryKind { File, Tree };

// Registers a path to remove (a file, or a directory with everything in it); the caller holds
// lock_temporaries(). Returns the id to forget it by.
int register_temporary(const std::filesystem::path& path, TemporaryKind kind);
// Forgets a registration; the caller holds lock_temporaries().
void forget_temporary(int id);

// The process group of a running linker (its leader's pid), or 0 for none; the caller holds
// lock_temporaries().
void set_child_group(pid_t group);

// For main(), before any thread is started: blocks SIGINT, SIGTERM and SIGHUP in every thread the
// packer will have and starts the thread that waits for them. When one comes, it sends it on to
// the linker's process group and waits for the linker to end, removes every registered path, and
// ends the process by the same signal, so that whoever started the packer sees how it ended.
void install_interrupt_cleanup();

// Where a pack has got to, for tests that must act at a known point: the hook, none by default,
// is called with "compressing" once the first chunk of file contents has gone to the compressor.
using PhaseHook = void (*)(const char* phase);
void set_phase_hook(PhaseHook hook);
void reached_phase(const char* phase);

}  // namespace onefile::pack
