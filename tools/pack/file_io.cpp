#include "file_io.h"

#include <system_error>

#include "errors.h"
#include "interrupt.h"

namespace fs = std::filesystem;

namespace onefile::pack {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ != NO_FILE) {
            host_close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ != NO_FILE) {
        host_close(fd_);
    }
}

NativeFile UniqueFd::release() {
    const NativeFile fd = fd_;
    fd_ = NO_FILE;
    return fd;
}

void UniqueFd::close_checked(const fs::path& path) {
    if (!host_close(release())) {
        throw_system_error("write", path, host_last_error());
    }
}

void write_all(NativeFile fd, const void* data, std::size_t size, const fs::path& path) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const std::int64_t written = host_write(fd, bytes, size);
        if (written < 0) {
            throw_system_error("write", path, host_last_error());
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::size_t read_some(NativeFile fd, void* data, std::size_t size, const fs::path& path) {
    const std::int64_t got = host_read(fd, data, size);
    if (got < 0) {
        throw_system_error("read", path, host_last_error());
    }
    return static_cast<std::size_t>(got);
}

void seek_to(NativeFile fd, std::uint64_t offset, const std::filesystem::path& path) {
    if (!host_seek(fd, offset)) {
        throw_system_error("write", path, host_last_error());
    }
}

UniqueFd create_anonymous_temp_file(const fs::path& dir) {
    const fs::path where = dir.empty() ? fs::path(".") : dir;
    // Created and unlinked in one step as far as an interrupt can tell.
    auto lock = lock_temporaries();
    UniqueFd fd(host_create_anonymous(where));
    if (!fd) {
        throw_system_error("create a temporary file in", where, host_last_error());
    }
    return fd;
}

PendingFile::PendingFile(const fs::path& target, const std::string& suffix) : target_(target) {
    fs::path dir = target.parent_path();
    if (dir.empty()) {
        dir = ".";
    }
    auto lock = lock_temporaries();
    fd_ = UniqueFd(host_create_unique(dir, "." + path_to_utf8(target.filename()) + ".", suffix, temp_path_));
    if (!fd_) {
        throw_system_error("create a temporary file in", dir, host_last_error());
    }
    registration_ = register_temporary(temp_path_, TemporaryKind::File);
}

PendingFile::~PendingFile() {
    if (!committed_) {
        // Closed first: Windows removes no file that is still open.
        fd_ = UniqueFd();
        host_remove_file(temp_path_);
        auto lock = lock_temporaries();
        forget_temporary(registration_);
    }
}

void PendingFile::close_fd() {
    if (fd_) {
        fd_.close_checked(target_);
    }
}

void PendingFile::commit(unsigned mode) {
    // By name rather than by descriptor: after close_fd() another process may have replaced the file.
    if (!host_set_permissions(temp_path_, mode)) {
        throw_system_error("set the permissions of", temp_path_, host_last_error());
    }
    close_fd();
    auto lock = lock_temporaries();
    if (!host_rename_over(temp_path_, target_)) {
        throw_system_error("create", target_, host_last_error());
    }
    committed_ = true;
    forget_temporary(registration_);
}

TempDir::TempDir() {
    auto lock = lock_temporaries();
    if (!host_create_temp_directory(path_)) {
        throw_system_error("create a temporary directory in", path_, host_last_error());
    }
    registration_ = register_temporary(path_, TemporaryKind::Tree);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    auto lock = lock_temporaries();
    forget_temporary(registration_);
}

MappedFile::MappedFile(const fs::path& path) {
    UniqueFd fd(host_open_read(path, false));
    if (!fd) {
        throw_system_error("open", path, host_last_error());
    }
    FileStatus status;
    if (!host_file_status(fd.get(), status)) {
        throw_system_error("read", path, host_last_error());
    }
    if (status.kind != FileKind::Regular) {
        throw PackError(quote_path(path) + " is not a regular file");
    }
    if (!host_map(fd.get(), static_cast<std::size_t>(status.size), mapping_)) {
        throw_system_error("map", path, host_last_error());
    }
}

MappedFile::~MappedFile() { host_unmap(mapping_); }

}  // namespace onefile::pack
