// Thin file helpers for the packer over the host layer (host.h): files that close themselves,
// complete reads and writes, and the temporary files and directories that keep a failed run from
// leaving debris. Every failure throws PackError naming the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "host.h"

namespace onefile::pack {

// An open file of the host (a descriptor or a handle) that closes itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(NativeFile fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    NativeFile get() const { return fd_; }
    explicit operator bool() const { return fd_ != NO_FILE; }
    NativeFile release();
    // Closes now and reports a failed close (a late write error on some file systems).
    void close_checked(const std::filesystem::path& path);

private:
    NativeFile fd_ = NO_FILE;
};

// Writes all `size` bytes, retrying short writes and EINTR.
void write_all(NativeFile fd, const void* data, std::size_t size, const std::filesystem::path& path);
// One read, retried on EINTR: returns the byte count, 0 at end of file.
std::size_t read_some(NativeFile fd, void* data, std::size_t size, const std::filesystem::path& path);

// Moves the file position to `offset` from the start (past the end, a later write leaves a hole of zeros).
void seek_to(NativeFile fd, std::uint64_t offset, const std::filesystem::path& path);

// A file created in `dir` and unlinked at once: scratch space that disappears with the descriptor,
// whatever way the run ends.
UniqueFd create_anonymous_temp_file(const std::filesystem::path& dir);

// A file that is written under a temporary name beside `target` and renamed over it only by
// commit(), so a failed run never leaves a half-written target. Without commit() the temporary
// file is removed, by the destructor or by the interrupt cleanup.
class PendingFile {
public:
    // `suffix` ends the temporary name (for a compiler that appends an extension to names without one).
    explicit PendingFile(const std::filesystem::path& target, const std::string& suffix = ".tmp");
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile();

    NativeFile fd() const { return fd_.get(); }
    const std::filesystem::path& temp_path() const { return temp_path_; }
    // Closes the descriptor so that another process can replace the file by name.
    void close_fd();
    // Gives the file `mode` (less the umask; Windows has no such modes) and renames it over the target.
    void commit(unsigned mode);

private:
    std::filesystem::path target_;
    std::filesystem::path temp_path_;
    UniqueFd fd_;
    bool committed_ = false;
    int registration_ = 0;  // with the interrupt cleanup
};

// A fresh private directory under $TMPDIR when that is an absolute path, else /tmp (on Windows
// under the user's temporary directory); removed with everything in it when the object goes away, or by the interrupt
// cleanup.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int registration_ = 0;  // with the interrupt cleanup
};

// A whole file mapped read-only. An empty file gives an empty span.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const unsigned char> bytes() const { return {mapping_.data, mapping_.size}; }

private:
    HostMapping mapping_;
};

}  // namespace onefile::pack
