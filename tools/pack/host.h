// The operating system under the packer: everything onefile-pack asks of the host it runs on, with
// one implementation for POSIX hosts (host_posix.cpp) and one for Windows (host_win32.cpp), chosen by
// the build. The rest of the packer is written once against this header.
//
// Conventions: a function that can fail returns false (or NO_FILE) and leaves the host's error
// code for host_last_error(), to be read on the next line, before any other call; the callers turn
// it into a message with throw_system_error(). Paths are std::filesystem paths; text that came
// from the command line or goes into a message is UTF-8 and crosses into paths only through
// path_from_utf8() and path_to_utf8().
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extras_record.h"

namespace onefile::pack {

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using NativeFile = std::intptr_t;
inline constexpr NativeFile NO_FILE = -1;

// --- errors -------------------------------------------------------------------------------------

// The error code of the call that just failed (errno, or GetLastError()).
int host_last_error();
// The host's text for an error code, one line, without a trailing newline or period.
std::string host_error_text(int code);
// Whether the error says that the path, or a directory on the way to it, does not exist.
bool host_error_is_not_found(int code);
// Whether the error says that a chain of symbolic links never ends.
bool host_error_is_link_loop(int code);

// --- text and paths -----------------------------------------------------------------------------

// A path from UTF-8 text (on POSIX the bytes as they are, whatever they hold).
std::filesystem::path path_from_utf8(std::string_view text);
// A path as UTF-8 text (on POSIX its bytes as they are).
std::string path_to_utf8(const std::filesystem::path& path);

// The program's arguments, without the program name, as UTF-8: on Windows from the wide command
// line, whatever the code page.
std::vector<std::string> host_arguments(int argc, char** argv);
// Readies standard output and error: on Windows "\n" stays one byte, as on Linux, so that what the
// packer prints is the same on both hosts, and a console shows UTF-8.
void host_prepare_standard_streams();
// Whether standard error is a terminal (a console on Windows).
bool host_stderr_is_terminal();
// The value of an environment variable as UTF-8; nullopt when it is not set.
std::optional<std::string> host_environment_variable(const char* name);
// The running executable's full path.
bool host_executable_path(std::filesystem::path& path);

// --- files --------------------------------------------------------------------------------------

enum class FileKind { Regular, Directory, Link, Other };

struct FileStatus {
    FileKind kind = FileKind::Other;
    std::uint64_t size = 0;
    // The modification time as the host keeps it: to the nanosecond on Linux, to 100 ns on Windows.
    FileTime modified;
    // Whether the launcher should unpack the file as a program. POSIX: the owner may execute it.
    // Windows, which has no such bit: the file begins as a program, library or script does (the
    // bytes "\x7f" "ELF", "MZ" or "#!"), what a toolchain makes executable on Linux.
    bool executable = false;
    // Which file it is on its device: a directory met twice on a walk is the same directory.
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};

// The status of the file at `path`; with `follow` false, a symbolic link (a reparse point on
// Windows) describes itself.
bool host_status(const std::filesystem::path& path, bool follow, FileStatus& status);
// The status of an open file; `executable` is left false.
bool host_file_status(NativeFile file, FileStatus& status);

// Opens a file for reading. With `no_follow`, a symbolic link at the last component is refused.
NativeFile host_open_read(const std::filesystem::path& path, bool no_follow);
// Creates a new file for writing, failing when the name exists. `private_file`: readable by its
// owner only (POSIX 0600, else 0644, less the umask).
NativeFile host_create_new(const std::filesystem::path& path, bool private_file);
// Closes; false when the close reports a late write error.
bool host_close(NativeFile file);
// Reads up to `size` bytes: the count, 0 at the end, -1 on failure (interrupted reads are retried).
std::int64_t host_read(NativeFile file, void* data, std::size_t size);
// Writes up to `size` bytes: the count written, -1 on failure (interrupted writes are retried).
std::int64_t host_write(NativeFile file, const void* data, std::size_t size);
// Moves the file position to `offset` from the start.
bool host_seek(NativeFile file, std::uint64_t offset);
// Sets the modification time.
bool host_set_modified(NativeFile file, FileTime time);

// Creates a file named `stem` + 6 random characters + `suffix` that did not exist. On success
// `path` is its name.
NativeFile host_create_unique(const std::filesystem::path& dir, const std::string& stem, const std::string& suffix,
                              std::filesystem::path& path);
// A file in `dir` that vanishes with its handle, whatever way the process ends.
NativeFile host_create_anonymous(const std::filesystem::path& dir);
// For the interrupt cleanup, before it removes directories: closes every file of
// host_create_anonymous() still open. Windows keeps a file, and the directory around it, until its
// last handle goes; POSIX unlinked them when they were made, and nothing is done.
void host_close_anonymous_files();
// A fresh private directory in the host's temporary directory; on success `path` is its name.
bool host_create_temp_directory(std::filesystem::path& path);
// The permissions a finished output gets: `mode` less the umask on POSIX; nothing on Windows,
// where files inherit their directory's access rules.
bool host_set_permissions(const std::filesystem::path& path, unsigned mode);
// Renames `from` over `to`, replacing it (atomically where the host can).
bool host_rename_over(const std::filesystem::path& from, const std::filesystem::path& to);
// Removes a file.
bool host_remove_file(const std::filesystem::path& path);

// A whole file mapped read-only. `data` is null for an empty file.
struct HostMapping {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::intptr_t native = 0;  // what host_unmap needs
};
bool host_map(NativeFile file, std::size_t size, HostMapping& mapping);
void host_unmap(const HostMapping& mapping);

// --- links and directories ----------------------------------------------------------------------

// The path with every symbolic link on the way resolved, absolute. Fails for a dangling link.
bool host_real_path(const std::filesystem::path& path, std::filesystem::path& real);
// What a symbolic link says it points to, as text for messages.
bool host_link_text(const std::filesystem::path& link, std::string& text);

// An open directory, for a walk that must not be led astray when something in the tree is
// replaced by a link while it runs: on POSIX a descriptor that every step below it starts from;
// on Windows the directory's path.
class HostDirectory {
public:
    HostDirectory() = default;
    HostDirectory(HostDirectory&& other) noexcept;
    HostDirectory& operator=(HostDirectory&& other) noexcept;
    HostDirectory(const HostDirectory&) = delete;
    HostDirectory& operator=(const HostDirectory&) = delete;
    ~HostDirectory();

    NativeFile native() const { return native_; }
    const std::filesystem::path& path() const { return path_; }
    void set(NativeFile native, std::filesystem::path path);

private:
    NativeFile native_ = NO_FILE;
    std::filesystem::path path_;
};

// Opens the directory `name` below `parent`, or the path `name` itself when `parent` is null. With
// `no_follow`, a symbolic link there is refused.
bool host_open_directory(const HostDirectory* parent, const std::filesystem::path& name, bool no_follow,
                         HostDirectory& directory, FileStatus& status);
// The names in the directory, without "." and "..", as UTF-8 (on POSIX the bytes as they are).
bool host_list_directory(const HostDirectory& directory, std::vector<std::string>& names);
// The status of `name` in the directory, a link describing itself.
bool host_status_at(const HostDirectory& directory, const std::string& name, FileStatus& status);
// Opens `name` in the directory for reading, refusing a symbolic link.
NativeFile host_open_read_at(const HostDirectory& directory, const std::string& name);

// --- interrupts ---------------------------------------------------------------------------------

// For main(), before any thread is started: from now on an interrupt (POSIX: SIGINT, SIGTERM,
// SIGHUP; Windows: Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown) calls `cleanup` on a
// thread of its own with the signal's number (Windows: the console event), which returns only
// when everything is removed; the host then ends the process the way that interrupt ends it.
void host_install_interrupt_handler(void (*cleanup)(int signal));

}  // namespace onefile::pack
