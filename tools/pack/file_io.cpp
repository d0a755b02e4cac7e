#include "file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "errors.h"
#include "interrupt.h"

namespace fs = std::filesystem;

namespace onefile::pack {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::close_checked(const fs::path& path) {
    // POSIX leaves open whether the descriptor survives a failed close; on Linux it is closed
    // either way, so it is never retried.
    if (::close(release()) != 0 && errno != EINTR) {
        throw_system_error("write", path, errno);
    }
}

void write_all(int fd, const void* data, std::size_t size, const fs::path& path) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw_system_error("write", path, errno);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::size_t read_some(int fd, void* data, std::size_t size, const fs::path& path) {
    for (;;) {
        const ssize_t got = ::read(fd, data, size);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            throw_system_error("read", path, errno);
        }
    }
}

void seek_to(int fd, std::uint64_t offset, const std::filesystem::path& path) {
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
        throw_system_error("write", path, errno);
    }
}

mode_t current_umask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

static std::vector<char> template_buffer(const fs::path& pattern) {
    const std::string text = pattern.string();
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

UniqueFd create_anonymous_temp_file(const fs::path& dir) {
    const fs::path where = dir.empty() ? fs::path(".") : dir;
    std::vector<char> name = template_buffer(where / ".onefile-pack-XXXXXX");
    // Created and unlinked in one step as far as an interrupt can tell.
    auto lock = lock_temporaries();
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd) {
        throw_system_error("create a temporary file in", where, errno);
    }
    ::unlink(name.data());
    return fd;
}

PendingFile::PendingFile(const fs::path& target, const std::string& suffix) : target_(target) {
    fs::path dir = target.parent_path();
    if (dir.empty()) {
        dir = ".";
    }
    std::vector<char> name = template_buffer(dir / ("." + target.filename().string() + ".XXXXXX" + suffix));
    auto lock = lock_temporaries();
    fd_ = UniqueFd(::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC));
    if (!fd_) {
        throw_system_error("create a temporary file in", dir, errno);
    }
    temp_path_ = name.data();
    registration_ = register_temporary(temp_path_, TemporaryKind::File);
}

PendingFile::~PendingFile() {
    if (!committed_) {
        ::unlink(temp_path_.c_str());
        auto lock = lock_temporaries();
        forget_temporary(registration_);
    }
}

void PendingFile::close_fd() {
    if (fd_) {
        fd_.close_checked(target_);
    }
}

void PendingFile::commit(mode_t mode) {
    mode &= ~current_umask();
    // By name rather than by descriptor: after close_fd() another process may have replaced the file.
    if (::chmod(temp_path_.c_str(), mode) != 0) {
        throw_system_error("set the permissions of", temp_path_, errno);
    }
    close_fd();
    auto lock = lock_temporaries();
    if (::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        throw_system_error("create", target_, errno);
    }
    committed_ = true;
    forget_temporary(registration_);
}

TempDir::TempDir() {
    fs::path base = "/tmp";
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && tmpdir[0] == '/') {
        base = tmpdir;
    }
    std::vector<char> name = template_buffer(base / "onefile-pack.XXXXXX");
    auto lock = lock_temporaries();
    if (::mkdtemp(name.data()) == nullptr) {
        throw_system_error("create a temporary directory in", base, errno);
    }
    path_ = name.data();
    registration_ = register_temporary(path_, TemporaryKind::Tree);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    auto lock = lock_temporaries();
    forget_temporary(registration_);
}

MappedFile::MappedFile(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw_system_error("open", path, errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw_system_error("read", path, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        throw PackError(quote_path(path) + " is not a regular file");
    }
    size_ = static_cast<std::size_t>(info.st_size);
    if (size_ == 0) {
        return;
    }
    void* mapping = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (mapping == MAP_FAILED) {
        throw_system_error("map", path, errno);
    }
    data_ = static_cast<const unsigned char*>(mapping);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) {
        ::munmap(const_cast<unsigned char*>(data_), size_);
    }
}

}  // namespace onefile::pack
