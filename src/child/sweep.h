// Removing what earlier runs left behind: the target directories of runs that ended without their
// cleanup (a hard kill, a power loss, a failed extraction).
#pragma once

#include <cstddef>

// True for a name of the form the launcher gives its target directories:
// "onefile_" PID "_" six digits "_" an 11-character random token.
bool is_run_directory_name(const wchar_t* name);

// Parent, while its child runs: removes, with the link-safe removal of the cleanup, every directory
// in the temporary directory that has a run directory's name, is the user's own and is abandoned
// (no live run holds its mark). This run's own directory is never touched. Reports nothing.
void sweep_abandoned_directories();
