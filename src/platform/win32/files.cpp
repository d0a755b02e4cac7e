// Files and directories on Windows.
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <new>

#include "platform/device_names.h"
#include "platform/platform.h"
#include "windows_support.h"

namespace {

struct Win32Walk {
    HANDLE find;
    bool first_pending;
    WIN32_FIND_DATAW data;
};
static_assert(sizeof(Win32Walk) <= sizeof(DirectoryWalk), "walk record too small");

}  // namespace

CreateDirResult platform_create_directory(const wchar_t* path) {
    if (CreateDirectoryW(path, nullptr)) return CreateDirResult::Created;
    return GetLastError() == ERROR_ALREADY_EXISTS ? CreateDirResult::AlreadyExists : CreateDirResult::Failed;
}

bool platform_claim_target_directory(const wchar_t*) {
    return true;  // created by the directory walk with the first file
}

bool platform_file_name_allowed(const wchar_t* component, size_t length) {
    return !is_windows_device_name(component, length);
}

namespace {

// A named event that our run, and its child with it (the handle is inherited), holds open while it
// lives. Named objects last exactly as long as some handle to them is open, so a live run is told
// apart from an ended one whatever process ids the system has handed out since. The name is the
// target directory's own, which no other run has.
std::atomic<HANDLE> g_mark{nullptr};

// A directory unchanged for less than this is never taken for abandoned: its run may not have
// marked it yet.
constexpr ULONGLONG MARK_GRACE_100NS = 10ULL * 10000000ULL;

bool mark_name(const wchar_t* path, wchar_t* out, size_t capacity) {
    const wchar_t* separator = wcsrchr(path, L'\\');
    const wchar_t* name = separator != nullptr ? separator + 1 : path;
    if (wcslen(name) > 128) return false;
    return swprintf(out, capacity, L"Local\\onefile-run-%ls", name) > 0;
}

}  // namespace

void platform_mark_target_directory(const wchar_t* path) {
    wchar_t name[160];
    if (g_mark.load() != nullptr || !mark_name(path, name, 160)) return;
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const HANDLE event = CreateEventW(&inherited, TRUE, FALSE, name);
    if (event != nullptr) g_mark.store(event);
}

void platform_unmark_target_directory() {
    const HANDLE event = g_mark.exchange(nullptr);
    if (event != nullptr) CloseHandle(event);
}

namespace {

bool unmarked_and_unchanged_for(const wchar_t* path, ULONGLONG grace_100ns) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG changed =
        (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    const ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (current < changed || current - changed < grace_100ns) return false;
    wchar_t name[160];
    if (!mark_name(path, name, 160)) return false;
    const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (event != nullptr) {
        CloseHandle(event);
        return false;  // a live run holds it
    }
    // Only "no such object" means no one holds it; anything else (no access) is left alone.
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace

bool platform_directory_is_abandoned(const wchar_t* path) { return unmarked_and_unchanged_for(path, MARK_GRACE_100NS); }

bool platform_directory_unused_for(const wchar_t* path, uint32_t seconds) {
    return unmarked_and_unchanged_for(path, static_cast<ULONGLONG>(seconds) * 10000000ULL);
}

PrivateDirectory platform_private_directory(const wchar_t* path, bool create) {
    if (create && !CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return PrivateDirectory::Failed;
    }
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return !create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? PrivateDirectory::Absent
                                                                                           : PrivateDirectory::Failed;
    }
    // A junction or symbolic link is never entered, whoever made it.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return PrivateDirectory::Foreign;
    }
    return PrivateDirectory::Ready;
}

RenameResult platform_rename_directory(const wchar_t* from, const wchar_t* to) {
    // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced.
    if (MoveFileExW(from, to, 0)) return RenameResult::Renamed;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameResult::TargetExists
                                                                       : RenameResult::Failed;
}

CheckedDirectory platform_open_checked_directory(const wchar_t* path) {
    // Windows has no lookup relative to a directory handle for attributes: the path is kept.
    const size_t length = wcslen(path);
    auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)));
    if (copy == nullptr) return NO_DIRECTORY;
    wmemcpy(copy, path, length + 1);
    return reinterpret_cast<CheckedDirectory>(copy);
}

void platform_close_checked_directory(CheckedDirectory directory) {
    if (directory != NO_DIRECTORY) HeapFree(GetProcessHeap(), 0, reinterpret_cast<wchar_t*>(directory));
}

bool platform_file_matches(CheckedDirectory directory, const wchar_t* name, uint64_t size, bool check_time,
                           int64_t seconds) {
    if (directory == NO_DIRECTORY) return false;
    const wchar_t* folder = reinterpret_cast<const wchar_t*>(directory);
    const size_t folder_length = wcslen(folder);
    const size_t name_length = wcslen(name);
    constexpr size_t CAPACITY = 4096;
    if (folder_length + 1 + name_length + 1 > CAPACITY) return false;
    wchar_t path[CAPACITY];
    wmemcpy(path, folder, folder_length);
    path[folder_length] = L'\\';
    wmemcpy(path + folder_length + 1, name, name_length + 1);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
    const uint64_t found_size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (found_size != size) return false;
    if (!check_time) return true;
    constexpr uint64_t EPOCH_100NS = 116444736000000000ULL;
    const uint64_t written =
        (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return seconds >= 0 && written >= EPOCH_100NS &&
           static_cast<int64_t>((written - EPOCH_100NS) / 10000000ULL) == seconds;
}

void platform_touch_directory(const wchar_t* path) {
    HANDLE directory =
        CreateFileW(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SetFileTime(directory, nullptr, nullptr, &now);
    CloseHandle(directory);
}

FileHandle platform_create_output_file(const wchar_t* path, bool) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
    return file == INVALID_HANDLE_VALUE ? INVALID_FILE : reinterpret_cast<FileHandle>(file);
}

bool platform_write_file(FileHandle file, const void* data, uint32_t size) {
    DWORD written = 0;
    return WriteFile(reinterpret_cast<HANDLE>(file), data, size, &written, nullptr) != FALSE;
}

void platform_set_file_time(FileHandle file, int64_t seconds, uint32_t nanoseconds) {
    // 100-nanosecond intervals since 1601-01-01; earlier times cannot be written.
    constexpr int64_t EPOCH_DIFFERENCE = 11644473600LL;
    if (seconds < -EPOCH_DIFFERENCE || seconds > INT64_MAX / 10000000 - EPOCH_DIFFERENCE) return;
    const uint64_t intervals = static_cast<uint64_t>(seconds + EPOCH_DIFFERENCE) * 10000000ULL + nanoseconds / 100;
    FILETIME written{static_cast<DWORD>(intervals), static_cast<DWORD>(intervals >> 32)};
    SetFileTime(reinterpret_cast<HANDLE>(file), nullptr, nullptr, &written);
}

void platform_close_file(FileHandle file) { CloseHandle(reinterpret_cast<HANDLE>(file)); }

PathKind platform_path_kind(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Absent;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return directory ? PathKind::LinkToDirectory : PathKind::LinkToFile;
    }
    return directory ? PathKind::Directory : PathKind::File;
}

bool platform_delete_file(const wchar_t* path) { return DeleteFileW(path) != FALSE; }

bool platform_remove_directory(const wchar_t* path) { return RemoveDirectoryW(path) != FALSE; }

bool platform_open_directory(DirectoryWalk* walk, wchar_t* path, uint32_t capacity) {
    // The search pattern is the path with "\*" behind it, written into the caller's buffer for the
    // call and cut off again afterwards.
    const size_t length = wcslen(path);
    if (length + 3 > capacity) return false;
    path[length] = L'\\';
    path[length + 1] = L'*';
    path[length + 2] = L'\0';
    auto* state = new (walk->storage) Win32Walk;
    state->find = FindFirstFileW(path, &state->data);
    path[length] = L'\0';
    state->first_pending = true;
    return state->find != INVALID_HANDLE_VALUE;
}

const wchar_t* platform_next_entry(DirectoryWalk* walk) {
    auto* state = reinterpret_cast<Win32Walk*>(walk->storage);
    if (state->first_pending) {
        state->first_pending = false;
        return state->data.cFileName;
    }
    return FindNextFileW(state->find, &state->data) ? state->data.cFileName : nullptr;
}

void platform_close_directory(DirectoryWalk* walk) { FindClose(reinterpret_cast<Win32Walk*>(walk->storage)->find); }
