// The packer's host layer on Linux (and other POSIX systems).
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "host.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

FileStatus status_from(const struct stat& info) {
    FileStatus status;
    if (S_ISREG(info.st_mode)) {
        status.kind = FileKind::Regular;
    } else if (S_ISDIR(info.st_mode)) {
        status.kind = FileKind::Directory;
    } else if (S_ISLNK(info.st_mode)) {
        status.kind = FileKind::Link;
    }
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.modified =
        FileTime{static_cast<std::int64_t>(info.st_mtim.tv_sec), static_cast<std::uint32_t>(info.st_mtim.tv_nsec)};
    status.executable = (info.st_mode & S_IXUSR) != 0;
    status.device = static_cast<std::uint64_t>(info.st_dev);
    status.index = static_cast<std::uint64_t>(info.st_ino);
    return status;
}

std::vector<char> template_buffer(const fs::path& pattern) {
    const std::string text = pattern.string();
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

mode_t current_umask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

}  // namespace

int host_last_error() { return errno; }

std::string host_error_text(int code) { return std::strerror(code); }

bool host_error_is_not_found(int code) { return code == ENOENT || code == ENOTDIR; }

bool host_error_is_link_loop(int code) { return code == ELOOP; }

fs::path path_from_utf8(std::string_view text) { return fs::path(std::string(text)); }

std::string path_to_utf8(const fs::path& path) { return path.string(); }

std::vector<std::string> host_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void host_prepare_standard_streams() {}

bool host_stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::optional<std::string> host_environment_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool host_executable_path(fs::path& path) {
    std::error_code error;
    path = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        errno = error.value();
        return false;
    }
    return true;
}

bool host_status(const fs::path& path, bool follow, FileStatus& status) {
    struct stat info {};
    if ((follow ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) {
        return false;
    }
    status = status_from(info);
    return true;
}

bool host_file_status(NativeFile file, FileStatus& status) {
    struct stat info {};
    if (::fstat(static_cast<int>(file), &info) != 0) {
        return false;
    }
    status = status_from(info);
    status.executable = false;
    return true;
}

NativeFile host_open_read(const fs::path& path, bool no_follow) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (no_follow ? O_NOFOLLOW : 0));
}

NativeFile host_create_new(const fs::path& path, bool private_file) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, private_file ? 0600 : 0644);
}

bool host_close(NativeFile file) {
    // POSIX leaves open whether the descriptor survives a failed close; on Linux it is closed
    // either way, so it is never retried.
    return ::close(static_cast<int>(file)) == 0 || errno == EINTR;
}

std::int64_t host_read(NativeFile file, void* data, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(file), data, size);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

std::int64_t host_write(NativeFile file, const void* data, std::size_t size) {
    for (;;) {
        const ssize_t written = ::write(static_cast<int>(file), data, size);
        if (written >= 0 || errno != EINTR) {
            return written;
        }
    }
}

bool host_seek(NativeFile file, std::uint64_t offset) {
    return ::lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool host_set_modified(NativeFile file, FileTime time) {
    const struct timespec times[2] = {{0, UTIME_OMIT},
                                      {static_cast<time_t>(time.seconds), static_cast<long>(time.nanoseconds)}};
    return ::futimens(static_cast<int>(file), times) == 0;
}

NativeFile host_create_unique(const fs::path& dir, const std::string& stem, const std::string& suffix, fs::path& path) {
    std::vector<char> name = template_buffer(dir / (stem + "XXXXXX" + suffix));
    const int fd = ::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd >= 0) {
        path = name.data();
    }
    return fd;
}

NativeFile host_create_anonymous(const fs::path& dir) {
    std::vector<char> name = template_buffer(dir / ".onefile-pack-XXXXXX");
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        ::unlink(name.data());
    }
    return fd;
}

void host_close_anonymous_files() {}

bool host_create_temp_directory(fs::path& path) {
    fs::path base = "/tmp";
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && tmpdir[0] == '/') {
        base = tmpdir;
    }
    std::vector<char> name = template_buffer(base / "onefile-pack.XXXXXX");
    if (::mkdtemp(name.data()) == nullptr) {
        // The message names where it was to be made.
        path = base;
        return false;
    }
    path = name.data();
    return true;
}

bool host_set_permissions(const fs::path& path, unsigned mode) {
    return ::chmod(path.c_str(), static_cast<mode_t>(mode) & ~current_umask()) == 0;
}

bool host_rename_over(const fs::path& from, const fs::path& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

bool host_remove_file(const fs::path& path) { return ::unlink(path.c_str()) == 0; }

bool host_map(NativeFile file, std::size_t size, HostMapping& mapping) {
    mapping = HostMapping{};
    if (size == 0) {
        return true;
    }
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, static_cast<int>(file), 0);
    if (data == MAP_FAILED) {
        return false;
    }
    mapping.data = static_cast<const unsigned char*>(data);
    mapping.size = size;
    return true;
}

void host_unmap(const HostMapping& mapping) {
    if (mapping.data != nullptr) {
        ::munmap(const_cast<unsigned char*>(mapping.data), mapping.size);
    }
}

bool host_real_path(const fs::path& path, fs::path& real) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return false;
    }
    real = resolved;
    std::free(resolved);
    return true;
}

bool host_link_text(const fs::path& link, std::string& text) {
    std::error_code error;
    text = fs::read_symlink(link, error).string();
    if (error) {
        errno = error.value();
        return false;
    }
    return true;
}

HostDirectory::HostDirectory(HostDirectory&& other) noexcept : native_(other.native_), path_(std::move(other.path_)) {
    other.native_ = NO_FILE;
}

HostDirectory& HostDirectory::operator=(HostDirectory&& other) noexcept {
    if (this != &other) {
        if (native_ != NO_FILE) {
            ::close(static_cast<int>(native_));
        }
        native_ = other.native_;
        path_ = std::move(other.path_);
        other.native_ = NO_FILE;
    }
    return *this;
}

HostDirectory::~HostDirectory() {
    if (native_ != NO_FILE) {
        ::close(static_cast<int>(native_));
    }
}

void HostDirectory::set(NativeFile native, fs::path path) {
    if (native_ != NO_FILE) {
        ::close(static_cast<int>(native_));
    }
    native_ = native;
    path_ = std::move(path);
}

bool host_open_directory(const HostDirectory* parent, const fs::path& name, bool no_follow, HostDirectory& directory,
                         FileStatus& status) {
    const int at = parent == nullptr ? AT_FDCWD : static_cast<int>(parent->native());
    const int fd = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (no_follow ? O_NOFOLLOW : 0));
    if (fd < 0) {
        return false;
    }
    directory.set(fd, parent == nullptr ? name : parent->path() / name);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return false;
    }
    status = status_from(info);
    return true;
}

bool host_list_directory(const HostDirectory& directory, std::vector<std::string>& names) {
    // fdopendir() takes the descriptor it is given: a duplicate keeps the directory's own open for
    // the steps below it.
    const int fd = ::fcntl(static_cast<int>(directory.native()), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return false;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
    // A duplicate shares the position: start from the first entry whatever happened before.
    ::rewinddir(dir);
    names.clear();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            return errno == 0;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
}

bool host_status_at(const HostDirectory& directory, const std::string& name, FileStatus& status) {
    struct stat info {};
    if (::fstatat(static_cast<int>(directory.native()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    status = status_from(info);
    return true;
}

NativeFile host_open_read_at(const HostDirectory& directory, const std::string& name) {
    return ::openat(static_cast<int>(directory.native()), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

namespace {

sigset_t interrupt_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void host_install_interrupt_handler(void (*cleanup)(int signal)) {
    const sigset_t set = interrupt_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // Every thread started from here on (the compressor's workers, the progress line) inherits
    // the blocked set, so the signals reach only the waiting thread.
    std::thread([set, cleanup] {
        int signal_number = 0;
        while (::sigwait(&set, &signal_number) != 0) {}
        cleanup(signal_number);
        // The default action of the same signal, delivered to this thread, the only one where it
        // is not blocked, so that whoever started the packer sees how it ended.
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
        sigset_t just_this;
        sigemptyset(&just_this);
        sigaddset(&just_this, signal_number);
        ::pthread_sigmask(SIG_UNBLOCK, &just_this, nullptr);
        ::raise(signal_number);
        ::_exit(128 + signal_number);
    }).detach();
}

}  // namespace onefile::pack
