// Files and directories on Linux. Everything the launcher creates is private to the user, and no
// symbolic link planted on the way is ever followed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/platform.h"
#include "utf8.h"

namespace {

struct PosixWalk {
    DIR* directory;
    wchar_t name[256 + 1];
};
static_assert(sizeof(PosixWalk) <= sizeof(DirectoryWalk), "walk record too small");

bool narrow_path(const wchar_t* path, char* out) {
    if (wide_to_utf8(path, out, NARROW_PATH_CAPACITY)) return true;
    errno = ENAMETOOLONG;
    return false;
}

}  // namespace

CreateDirResult platform_create_directory(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return CreateDirResult::Failed;
    if (mkdir(narrow, 0700) == 0) return CreateDirResult::Created;
    return errno == EEXIST ? CreateDirResult::AlreadyExists : CreateDirResult::Failed;
}

bool platform_claim_target_directory(const wchar_t* path) {
    // The temporary directory is shared with other users: a directory already at our name was not
    // made by us and may hold links planted to redirect our writes, so it is refused.
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return false;
    if (mkdir(narrow, 0700) == 0) return true;
    if (errno != ENOENT) return false;
    // Missing levels above it (a TMPDIR that does not exist yet) are created as every missing
    // level of the application is, private to the user; only the target directory itself must be
    // new and ours.
    for (char* separator = strchr(narrow + 1, '/'); separator != nullptr; separator = strchr(separator + 1, '/')) {
        *separator = '\0';
        const bool made = mkdir(narrow, 0700) == 0 || errno == EEXIST;
        *separator = '/';
        if (!made) return false;
    }
    return mkdir(narrow, 0700) == 0;
}

bool platform_file_name_allowed(const wchar_t*, size_t) { return true; }

namespace {

// The open directory whose lock marks our run as live. Not closed on exec: the child inherits it,
// and the lock, which belongs to the open directory, lasts while either process has it open.
std::atomic<int> g_mark{-1};

// A directory younger than this is never taken for abandoned: its run may not have marked it yet.
constexpr time_t MARK_GRACE_SECONDS = 10;

}  // namespace

void platform_mark_target_directory(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    if (g_mark.load() >= 0 || !narrow_path(path, narrow)) return;
    const int fd = open(narrow, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) return;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    g_mark.store(fd);
}

void platform_unmark_target_directory() {
    // The child's inherited copy keeps the lock while the child lives.
    const int fd = g_mark.exchange(-1);
    if (fd >= 0) close(fd);
}

namespace {

bool unmarked_and_unchanged_for(const wchar_t* path, time_t seconds) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return false;
    const int fd = open(narrow, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    const bool candidate = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
                           time(nullptr) - info.st_mtime >= seconds;
    // A live run holds a shared lock: the exclusive one is ours only when no one does.
    const bool abandoned = candidate && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return abandoned;
}

}  // namespace

bool platform_directory_is_abandoned(const wchar_t* path) {
    return unmarked_and_unchanged_for(path, MARK_GRACE_SECONDS);
}

bool platform_directory_unused_for(const wchar_t* path, uint32_t seconds) {
    return unmarked_and_unchanged_for(path, static_cast<time_t>(seconds));
}

PrivateDirectory platform_private_directory(const wchar_t* path, bool create) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return PrivateDirectory::Failed;
    if (create && mkdir(narrow, 0700) != 0 && errno != EEXIST) return PrivateDirectory::Failed;
    // The last component is examined itself, never followed: the levels above it are the user's
    // own cache folder (which may well be a link) and, below the cache root, directories that only
    // the user can change.
    struct stat info {};
    if (lstat(narrow, &info) != 0) {
        return errno == ENOENT && !create ? PrivateDirectory::Absent : PrivateDirectory::Failed;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 077) != 0) {
        return PrivateDirectory::Foreign;
    }
    return PrivateDirectory::Ready;
}

RenameResult platform_rename_directory(const wchar_t* from, const wchar_t* to) {
    char narrow_from[NARROW_PATH_CAPACITY];
    char narrow_to[NARROW_PATH_CAPACITY];
    if (!narrow_path(from, narrow_from) || !narrow_path(to, narrow_to)) return RenameResult::Failed;
    constexpr unsigned NO_REPLACE = 1;  // RENAME_NOREPLACE
    long result = syscall(SYS_renameat2, AT_FDCWD, narrow_from, AT_FDCWD, narrow_to, NO_REPLACE);
    if (result != 0 && (errno == ENOSYS || errno == EINVAL)) {
        // A file system without the flag: rename replaces only an empty directory, and a published
        // directory is never empty (it holds the main binary at least).
        result = rename(narrow_from, narrow_to);
    }
    if (result == 0) return RenameResult::Renamed;
    return errno == EEXIST || errno == ENOTEMPTY ? RenameResult::TargetExists : RenameResult::Failed;
}

CheckedDirectory platform_open_checked_directory(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return NO_DIRECTORY;
    const int fd = open(narrow, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? NO_DIRECTORY : static_cast<CheckedDirectory>(fd) + 1;
}

void platform_close_checked_directory(CheckedDirectory directory) {
    if (directory != NO_DIRECTORY) close(static_cast<int>(directory - 1));
}

bool platform_file_matches(CheckedDirectory directory, const wchar_t* name, uint64_t size, bool check_time,
                           int64_t seconds) {
    char narrow[NARROW_PATH_CAPACITY];
    struct stat info {};
    if (directory == NO_DIRECTORY || !narrow_path(name, narrow) ||
        fstatat(static_cast<int>(directory - 1), narrow, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    // Once per process: a start may check ten thousand files.
    static const uid_t user = getuid();
    return S_ISREG(info.st_mode) && info.st_uid == user && static_cast<uint64_t>(info.st_size) == size &&
           (!check_time || static_cast<int64_t>(info.st_mtim.tv_sec) == seconds);
}

void platform_touch_directory(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    if (narrow_path(path, narrow)) utimensat(AT_FDCWD, narrow, nullptr, AT_SYMLINK_NOFOLLOW);
}

FileHandle platform_create_output_file(const wchar_t* path, bool executable) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return INVALID_FILE;
    const int fd = open(narrow, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, executable ? 0700 : 0600);
    return fd < 0 ? INVALID_FILE : static_cast<FileHandle>(fd);
}

bool platform_write_file(FileHandle file, const void* data, uint32_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = write(static_cast<int>(file), bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<uint32_t>(written);
    }
    return true;
}

void platform_set_file_time(FileHandle file, int64_t seconds, uint32_t nanoseconds) {
    // Through the descriptor we wrote with: no path is looked up again.
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)}};
    futimens(static_cast<int>(file), times);
}

void platform_close_file(FileHandle file) { close(static_cast<int>(file)); }

PathKind platform_path_kind(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    struct stat info {};
    if (!narrow_path(path, narrow) || lstat(narrow, &info) != 0) return PathKind::Absent;
    // unlink removes a link to a directory as well as one to a file.
    if (S_ISLNK(info.st_mode)) return PathKind::LinkToFile;
    return S_ISDIR(info.st_mode) ? PathKind::Directory : PathKind::File;
}

bool platform_delete_file(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    return narrow_path(path, narrow) && unlink(narrow) == 0;
}

bool platform_remove_directory(const wchar_t* path) {
    char narrow[NARROW_PATH_CAPACITY];
    return narrow_path(path, narrow) && rmdir(narrow) == 0;
}

bool platform_open_directory(DirectoryWalk* walk, wchar_t* path, uint32_t) {
    char narrow[NARROW_PATH_CAPACITY];
    if (!narrow_path(path, narrow)) return false;
    const int fd = open(narrow, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* directory = fdopendir(fd);
    if (directory == nullptr) {
        close(fd);
        return false;
    }
    auto* state = new (walk->storage) PosixWalk;
    state->directory = directory;
    return true;
}

const wchar_t* platform_next_entry(DirectoryWalk* walk) {
    auto* state = reinterpret_cast<PosixWalk*>(walk->storage);
    const dirent* entry = readdir(state->directory);
    if (entry == nullptr) return nullptr;
    utf8_to_wide(entry->d_name, state->name, sizeof state->name / sizeof state->name[0]);
    return state->name;
}

void platform_close_directory(DirectoryWalk* walk) {
    auto* state = reinterpret_cast<PosixWalk*>(walk->storage);
    closedir(state->directory);
}
