// Leaving nothing behind when an interrupt ends a pack: every temporary file and directory the
// packer creates is registered here; an interrupt (POSIX: SIGINT, SIGTERM and SIGHUP; Windows: a
// console event) then removes what is registered and ends the packer the way that interrupt ends
// a program (host.h).
#pragma once

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

// For main(), before any thread is started: installs the host's interrupt handling
// (host_install_interrupt_handler). When an interrupt comes, every registered path is removed and
// the process ends by the same interrupt, so that whoever started the packer sees how it ended.
void install_interrupt_cleanup();

// Where a pack has got to, for tests that must act at a known point: the hook, none by default,
// is called with "compressing" once the first chunk of file contents has gone to the compressor.
using PhaseHook = void (*)(const char* phase);
void set_phase_hook(PhaseHook hook);
void reached_phase(const char* phase);

}  // namespace onefile::pack
