// The parent leaves nothing behind: it stops a child that outlives a console event and removes
// the target directory.
#pragma once

// Stops the child if this thread is the one that holds its handle, then (once the attached data
// was accepted) removes the target directory, up to 20 attempts 100 ms apart. Reports nothing.
void cleanup_target();
// Removes a file, link or directory tree. Links and junctions are removed themselves, never
// entered. True when nothing is left at the path. Paths that do not fit 4096 code units, and trees
// deeper than REMOVE_TREE_MAX_DEPTH, count as not removed.
bool remove_tree(const wchar_t* path);
// Ctrl+C and Ctrl+Break while a child runs are left to the child: consumed, and the parent goes on
// waiting. Any other event, or one before the child started, runs the cleanup and lets the
// platform's default handling end the process.
bool console_control_handler(int event);

inline constexpr int REMOVE_TREE_MAX_DEPTH = 2048;
inline constexpr int CLEANUP_ATTEMPTS = 20;
inline constexpr unsigned CLEANUP_PAUSE_MS = 100;
inline constexpr unsigned CHILD_GRACE_MS = 5000;
