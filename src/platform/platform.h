// The only door from the launcher's portable core to the operating system. Every declaration here is
// implemented twice: src/platform/win32/ with the Win32 calls, src/platform/posix/ with their Linux
// counterparts, in files of the same names (each section below names its file). Strings are wide
// (wchar_t); on Windows they are UTF-16 code units, on Linux the POSIX backend converts to and from
// UTF-8 at its own boundary (surrogate pairs are combined there, so a capacity counted by the core is
// always a count of UTF-16 code units).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform_constants.h"  // PATH_SEPARATOR and friends, one header per backend

// ---- process start (runtime.cpp) --------------------------------------------------------------------

// Called first by the entry point: takes the current directory out of the library search order and
// records the argument vector the runtime parsed. `native_argc`/`native_argv` are the narrow vector of
// a Linux main; Windows ignores them and takes the runtime's wide vector.
void platform_start(int native_argc, char** native_argv);

// The runtime's parsed argument count and wide argument vector (argument 0 may be null if the
// runtime had none). Valid for the life of the process.
int platform_argc();
wchar_t** platform_wargv();

// The base address the executable's image was loaded at: the address of its first header byte.
// Offsets the packer records in the image count from it.
const uint8_t* platform_image_base();

// ---- ending the process (runtime.cpp) ---------------------------------------------------------------

// Ends through the runtime's exit: atexit functions run and stdio streams are flushed.
[[noreturn]] void platform_exit(int status);
// Ends at once: no exit processing, no flush, no message, no dialog; the status is never 2.
[[noreturn]] void platform_fatal_stop();

// ---- messages (runtime.cpp) -------------------------------------------------------------------------

// Formatted write to standard error ("%ls" takes a wide string). Complete when the call returns.
void platform_stderr_printf(const char* format, ...);
// The system's text for an error code, or null when it has none. The text is the system's own
// (line ends included); it stays allocated until the process ends.
const wchar_t* platform_system_error_text(uint32_t code);
// The calling thread's last system error code, read right after the failed call.
uint32_t platform_last_error();

// ---- environment (runtime.cpp) ----------------------------------------------------------------------

// Reads a variable from the process environment into `buffer` (capacity in code units). Returns
// the value's length, 0 if absent or empty, or a number >= capacity if it does not fit.
uint32_t platform_get_env(const wchar_t* name, wchar_t* buffer, uint32_t capacity);
// Sets (value non-null) or removes (value null) a variable in the environment the child inherits.
void platform_set_env(const wchar_t* name, const wchar_t* value);
// Hands an assignment string "NAME=VALUE" (empty value: removal) to every runtime library copy of
// the environment in the process: the launcher's own, and on Windows each runtime library module
// that is already loaded (none is loaded for this). The string must stay allocated for the life
// of the process.
void platform_runtime_putenv(wchar_t* assignment);

// ---- values the path spec keywords need (paths.cpp) -------------------------------------------------

// Writes the temporary directory at `out` with room for `capacity` code units. False when the
// system cannot deliver it or it does not fit; `out` may then hold anything.
bool platform_temp_path(wchar_t* out, uint64_t capacity);
enum class ShellFolder { Profile, LocalAppData };
// Writes the folder into `out` (260 code units). False when the system cannot report it.
bool platform_folder_path(ShellFolder folder, wchar_t* out);
uint32_t platform_current_process_id();
// A high-resolution counter reading (success not reported).
void platform_performance_counter(int64_t* counter);
// The current time as a count of 100-nanosecond intervals since 1 January 1601 (UTC).
int64_t platform_system_time();
// GetFullPathNameW semantics: returns the length written (terminator excluded), the size needed
// (terminator included) when `capacity` is too small, or 0 on failure.
uint32_t platform_full_path(const wchar_t* path, wchar_t* out, uint32_t capacity);

// ---- executable paths (paths.cpp) -------------------------------------------------------------------

// Whether the system can name the launcher's own running image, from which the child is started:
// false on Linux without /proc, or when the launcher was started through the dynamic loader.
bool platform_own_image_known();
// The launcher's own module file name into `out`; returns the length written, 0 on failure.
uint32_t platform_module_file_name(wchar_t* out, uint32_t capacity);
// The main module file name of another process, or false if it cannot be opened or queried.
bool platform_process_image_path(uint32_t pid, wchar_t* out, uint32_t capacity);
// Opens an existing file or directory for querying its final path; null when it cannot be opened.
void* platform_open_for_final_path(const wchar_t* path);
// The final path of an opened file into `out`: the length written, a number >= capacity when it
// does not fit, or 0 on failure (also when the system lacks the query). Closes the handle.
uint32_t platform_final_path_and_close(void* handle, wchar_t* out, uint32_t capacity);
// GetShortPathNameW semantics: with out null/capacity 0 the size needed (terminator included);
// otherwise the length written, or the size needed when it does not fit; 0 on failure.
uint32_t platform_short_path(const wchar_t* path, wchar_t* out, uint32_t capacity);

// ---- files and directories (files.cpp) --------------------------------------------------------------

enum class CreateDirResult { Created, AlreadyExists, Failed };
CreateDirResult platform_create_directory(const wchar_t* path);
// Makes the directory that extraction is about to fill its own, before anything is written into
// it. Returns false (with the last error set) when it cannot be claimed. Windows leaves the
// creation to the directory walk; Linux creates it private to the user and refuses one that exists.
bool platform_claim_target_directory(const wchar_t* path);

// Whether this system can create a file of this name component (`length` code units) as a file:
// false on Windows for the names it maps to devices.
bool platform_file_name_allowed(const wchar_t* component, size_t length);

using FileHandle = intptr_t;
inline constexpr FileHandle INVALID_FILE = -1;
// Creates or truncates a file for writing; `executable` asks for an executable file where the
// platform has such a mode. INVALID_FILE on failure.
FileHandle platform_create_output_file(const wchar_t* path, bool executable);
// Gives the file its last modification time: `seconds` since 1970-01-01 UTC (negative before) and
// `nanoseconds` (rounded down to what the system keeps). Best effort: a time the system cannot
// set is no failure of the run.
void platform_set_file_time(FileHandle file, int64_t seconds, uint32_t nanoseconds);
// Writes all `size` bytes; false on failure (last error set).
bool platform_write_file(FileHandle file, const void* data, uint32_t size);
void platform_close_file(FileHandle file);

// Takes the mark that tells every other launcher this target directory belongs to a live run: a
// lock that this process holds, and its child with it (the child inherits it), until they end.
// Called once the directory exists. Best effort: a mark that cannot be taken leaves the directory
// unmarked, and it is then never taken for abandoned before it is old (see below).
void platform_mark_target_directory(const wchar_t* path);
// Gives the mark up, before the directory is removed (Windows keeps a directory with an open
// handle to it). Safe to call from either thread, and more than once.
void platform_unmark_target_directory();
// True when the directory at `path` is a directory of this user's (not a link), unchanged for a few
// seconds, and no live process holds its mark: the run it belonged to has ended without removing
// it (a hard kill, a power loss, a failed extraction).
bool platform_directory_is_abandoned(const wchar_t* path);

enum class PathKind { Absent, LinkToDirectory, LinkToFile, Directory, File };
PathKind platform_path_kind(const wchar_t* path);
bool platform_delete_file(const wchar_t* path);
bool platform_remove_directory(const wchar_t* path);

// Directory enumeration. `path` is the directory; `scratch` is a caller buffer holding `path` that
// the Windows backend may extend to the search pattern "path\*" within `capacity` (the pattern not
// fitting makes the open fail). Entry names, "." and ".." included, arrive one at a time.
// The walk's state lives in the caller's record, so removing a tree needs no heap of its own.
struct DirectoryWalk {
    alignas(8) unsigned char storage[1536];
};
bool platform_open_directory(DirectoryWalk* walk, wchar_t* path, uint32_t capacity);
// The next entry's name, or null at the end. The name stays valid until the next call.
const wchar_t* platform_next_entry(DirectoryWalk* walk);
void platform_close_directory(DirectoryWalk* walk);

// ---- the cache of unpacked applications (files.cpp) -------------------------------------------------

enum class PrivateDirectory { Ready, Absent, Foreign, Failed };
// Whether `path` is a directory private to this user: a real directory (not a link or junction),
// owned by the user, and on Linux open to no one else (mode 0700). With `create`, a missing one
// is created first (Linux: mode 0700); its parent must exist. Absent: nothing there (only without
// `create`). Foreign: something else is there (a link, a file, another user's directory, one open
// to others); it is neither used nor followed. Failed: it could not be created or examined (last
// error set). Windows does not compare owners: the user's local application data is private
// already.
PrivateDirectory platform_private_directory(const wchar_t* path, bool create);

enum class RenameResult { Renamed, TargetExists, Failed };
// Renames the directory `from` to `to` in one step, never replacing anything at `to`: Linux
// renameat2 with RENAME_NOREPLACE (where a file system lacks it, a rename that cannot replace a
// directory that is not empty), Windows MoveFileExW without MOVEFILE_REPLACE_EXISTING. Failed
// leaves the last error set.
RenameResult platform_rename_directory(const wchar_t* from, const wchar_t* to);

// A directory opened for checking the files in it by name, so that each check does not walk the
// whole path again: Linux holds a descriptor (the directory itself is not followed if it is a
// link), Windows a copy of the path. NO_DIRECTORY when it cannot be opened.
using CheckedDirectory = intptr_t;
inline constexpr CheckedDirectory NO_DIRECTORY = 0;
CheckedDirectory platform_open_checked_directory(const wchar_t* path);
void platform_close_checked_directory(CheckedDirectory directory);
// Whether the unpacked file `name` in that directory is still what was written: a regular file
// (not a link), the user's own (Linux), `size` bytes long, and with `check_time` last modified
// within the second `seconds` (since 1970, not negative).
bool platform_file_matches(CheckedDirectory directory, const wchar_t* name, uint64_t size, bool check_time,
                           int64_t seconds);

// Sets the directory's last modification time to now: its time of last use. Best effort.
void platform_touch_directory(const wchar_t* path);

// platform_directory_is_abandoned with another age: true when the directory at `path` is the
// user's own (not a link), unchanged for at least `seconds`, and no live process holds its mark.
bool platform_directory_unused_for(const wchar_t* path, uint32_t seconds);

// ---- processes (process.cpp) ------------------------------------------------------------------------

using ProcessHandle = intptr_t;
inline constexpr ProcessHandle NO_PROCESS = 0;

// The launcher's own arguments for the child, as the platform splits them: Windows splits its
// command line with the system's splitter; Linux returns the vector main received. The array is
// the caller's to change and is never freed. Null when there is none.
wchar_t** platform_command_line_arguments(int* count);

enum class ChildStart { Started, Failed, CommandLineTooLong };
// Starts the launcher's own executable at `module_path` again with `arguments` (`count` of them;
// argument 0 is the child's own), inherited standard handles and environment, in the current
// directory. Windows joins the vector into one command line (CommandLineTooLong when it would not
// fit the system's limit, and nothing is started); Linux passes it as it is. On success stores in
// `*own` a handle for the thread that waits, and a second handle to the same child in
// `*shared_handle` before any console event can be handled, so that the handler always finds a
// child that was started. Failed leaves the last error set.
ChildStart platform_start_child(const wchar_t* module_path, int count, wchar_t* const* arguments,
                                std::atomic<ProcessHandle>* shared_handle, ProcessHandle* own);
// The child's loads, also those the application makes later, search this directory first for
// the libraries they import. Linux: the child starts with it in front of its library path and
// puts the caller's path back before the application runs, so the programs the application
// starts do not inherit it. Windows: nothing to do here, the child adds the directory itself.
void platform_set_child_library_directory(const wchar_t* directory);
// Called first by the driver: a process that a launcher parent started ends when that parent ends,
// however it ends, and ends at once if the parent has already gone (before it could even decide
// its role). Linux asks for a signal at the parent's death; Windows has nothing to do, the parent
// holds its child in a job that ends with it. Any other process (a nested start) is not affected.
void platform_end_with_parent();
// Waits for the process to end, at most `milliseconds` (UINT32_MAX: no limit). True if it ended.
bool platform_wait_process(ProcessHandle process, uint32_t milliseconds);
// The exit status of an ended process; false if it cannot be read.
bool platform_process_exit_status(ProcessHandle process, uint32_t* status);
// Ends the process with a status that never reads as success.
void platform_terminate_process(ProcessHandle process);
void platform_close_process(ProcessHandle process);

// ---- main binary (process.cpp) ----------------------------------------------------------------------
// The launcher is about to run the application in its own process instead of a child's: what the
// platform changed for the parent's role is put back as a child would have it (Linux: a SIGCHLD
// the caller ignored is ignored again). Windows has nothing to put back.
void platform_enter_application();

using MainBinaryEntry = int (*)(int argc, wchar_t** argv, const wchar_t* main_binary_path);
// Adds a directory to the search path of libraries the main binary imports (result ignored).
void platform_add_library_directory(const wchar_t* directory);
// Loads the main binary; null on failure (last error set).
void* platform_load_main_binary(const wchar_t* path);
// Its entry point (export ordinal 1 on Windows, `onefile_main` on Linux), or null.
MainBinaryEntry platform_main_binary_entry(void* library);

// ---- console events (console.cpp) -------------------------------------------------------------------

enum class ConsoleEvent { CtrlC = 0, CtrlBreak = 1, Close = 2, Logoff = 5, Shutdown = 6 };
// Registers the handler, called on a thread of its own for each event; when it returns false the
// platform's default handling ends the process. False when registration fails.
bool platform_register_console_handler(bool (*handler)(int event));

// ---- memory (runtime.cpp) ---------------------------------------------------------------------------

// The core's heap blocks, from the runtime's heap. Null when the block cannot be had.
void* platform_allocate(size_t bytes);
void platform_free(void* block);

// The attached data from `start` on, `length` bytes, has been read for good: the system may drop its
// pages from the process's resident set (only whole pages inside the range are affected). Keeps the
// memory of a large extraction bounded by the decoder's window instead of the application's size.
void platform_release_read_pages(const void* start, size_t length);

// ---- threads (runtime.cpp) --------------------------------------------------------------------------

// A thread the core starts: the caller fills in `function` and `argument` and keeps the record alive
// until platform_join_thread has returned; the backend keeps its handle in it.
struct ThreadStart {
    void (*function)(void* argument);
    void* argument;
    intptr_t handle;
};
// Runs `start->function(start->argument)` on a new thread. False when no thread can be started.
bool platform_start_thread(ThreadStart* start);
// Waits for a started thread to return and releases it.
void platform_join_thread(ThreadStart* start);
// The number of processors this process may run on (its affinity), at least 1.
uint32_t platform_processor_count();

// ---- time (runtime.cpp) -----------------------------------------------------------------------------

void platform_sleep_ms(uint32_t milliseconds);
