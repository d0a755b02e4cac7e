// The packer's host layer on Windows: wide-character Win32 calls throughout, so that every path
// and argument keeps its characters whatever the code page.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which these need.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>

#include "host.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

// 100-nanosecond intervals between 1601-01-01 (FILETIME's epoch) and 1970-01-01.
constexpr std::int64_t EPOCH_DIFFERENCE_100NS = 116444736000000000LL;

HANDLE handle_of(NativeFile file) { return reinterpret_cast<HANDLE>(file); }
NativeFile native_of(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? NO_FILE : reinterpret_cast<NativeFile>(handle);
}

FileTime file_time_from(const FILETIME& time) {
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) -
        EPOCH_DIFFERENCE_100NS;
    std::int64_t seconds = ticks / 10000000;
    std::int64_t rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return FileTime{seconds, static_cast<std::uint32_t>(rest * 100)};
}

FILETIME filetime_of(FileTime time) {
    const std::uint64_t ticks =
        static_cast<std::uint64_t>(time.seconds * 10000000 + time.nanoseconds / 100 + EPOCH_DIFFERENCE_100NS);
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(ticks);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

FileStatus status_from(const BY_HANDLE_FILE_INFORMATION& info) {
    FileStatus status;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        status.kind = FileKind::Link;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        status.kind = FileKind::Directory;
    } else {
        status.kind = FileKind::Regular;
    }
    status.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.modified = file_time_from(info.ftLastWriteTime);
    status.device = info.dwVolumeSerialNumber;
    status.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return status;
}

// Whether a file begins as a program, a library or a script does: the Windows host's stand-in
// for the owner's execute bit (see FileStatus::executable). Reads at offset 0 without moving the
// handle's position.
bool starts_like_a_program(HANDLE file) {
    unsigned char head[4] = {};
    DWORD got = 0;
    OVERLAPPED at_start{};
    if (!::ReadFile(file, head, sizeof head, &got, &at_start)) {
        return false;
    }
    return (got >= 4 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') ||
           (got >= 2 && head[0] == 'M' && head[1] == 'Z') || (got >= 2 && head[0] == '#' && head[1] == '!');
}

// Opens anything for reading its attributes; `follow` false opens a reparse point itself.
HANDLE open_for_status(const fs::path& path, bool follow, bool read_data) {
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return ::CreateFileW(path.c_str(), read_data ? GENERIC_READ : FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                         nullptr);
}

// Closes without letting the close overwrite the error being reported.
void close_keeping_error(HANDLE handle) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(error);
}

std::string utf8_of(const wchar_t* text, int length) {
    if (length == 0) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

std::string random_name_part() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::random_device device;
    std::string part;
    for (int i = 0; i < 6; ++i) {
        part.push_back(letters[device() % (sizeof letters - 1)]);
    }
    return part;
}

// Wine and Windows name a final path \\?\C:\... or \\?\UNC\server\...: the plain form is what
// users write and what the rest of the packer compares against.
fs::path without_long_prefix(std::wstring text) {
    if (text.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        return fs::path(L"\\\\" + text.substr(8));
    }
    if (text.rfind(L"\\\\?\\", 0) == 0) {
        return fs::path(text.substr(4));
    }
    return fs::path(text);
}

// The scratch files of host_create_anonymous() still open, for host_close_anonymous_files().
struct AnonymousFiles {
    std::mutex mutex;
    std::set<HANDLE> open;
};

AnonymousFiles& anonymous_files() {
    // Never destroyed: the interrupt cleanup may use it while static destructors run.
    static AnonymousFiles* files = new AnonymousFiles;
    return *files;
}

}  // namespace

int host_last_error() { return static_cast<int>(::GetLastError()); }

std::string host_error_text(int code) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
        return "error " + std::to_string(static_cast<unsigned long>(code));
    }
    std::string text = utf8_of(buffer, static_cast<int>(length));
    ::LocalFree(buffer);
    // One line, as strerror() gives it: without the CRLF and the full stop.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

bool host_error_is_not_found(int code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_BAD_NETPATH;
}

bool host_error_is_link_loop(int code) { return code == ERROR_CANT_RESOLVE_FILENAME; }

fs::path path_from_utf8(std::string_view text) {
    // C++20 reads char8_t text as UTF-8 on every host; a narrow string would go through the ANSI
    // code page.
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string path_to_utf8(const fs::path& path) {
    const std::wstring& wide = path.native();
    return utf8_of(wide.c_str(), static_cast<int>(wide.size()));
}

std::vector<std::string> host_arguments(int, char**) {
    // The narrow argv holds the arguments in the ANSI code page, which loses every character
    // outside it: the wide command line has them all.
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide != nullptr && i < count; ++i) {
        args.push_back(utf8_of(wide[i], static_cast<int>(std::wcslen(wide[i]))));
    }
    ::LocalFree(wide);
    return args;
}

void host_prepare_standard_streams() {
    // Binary mode: the listing and the messages end their lines in "\n" alone, on both hosts.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    ::SetConsoleOutputCP(CP_UTF8);
}

bool host_stderr_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::optional<std::string> host_environment_variable(const char* name) {
    std::wstring wide_name;
    for (const char* c = name; *c != '\0'; ++c) {
        wide_name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    std::wstring value(256, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length =
            ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::string();
        }
        if (length < value.size()) {
            return utf8_of(value.c_str(), static_cast<int>(length));
        }
        value.resize(length);
    }
}

bool host_executable_path(fs::path& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return false;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            path = fs::path(buffer);
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool host_status(const fs::path& path, bool follow, FileStatus& status) {
    HANDLE handle = open_for_status(path, follow, true);
    if (handle == INVALID_HANDLE_VALUE) {
        // A file open elsewhere without read sharing still shows its attributes.
        handle = open_for_status(path, follow, false);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        close_keeping_error(handle);
        return false;
    }
    status = status_from(info);
    if (status.kind == FileKind::Regular) {
        status.executable = starts_like_a_program(handle);
    }
    ::CloseHandle(handle);
    return true;
}

bool host_file_status(NativeFile file, FileStatus& status) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle_of(file), &info)) {
        return false;
    }
    status = status_from(info);
    return true;
}

NativeFile host_open_read(const fs::path& path, bool no_follow) {
    // Write sharing, as POSIX reads files another process writes (the writer notices a change by
    // the size and time); delete sharing, as an interrupt's cleanup may remove a temporary file
    // that is still open here.
    HANDLE handle =
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | (no_follow ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return NO_FILE;
    }
    if (no_follow) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileInformationByHandle(handle, &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            ::CloseHandle(handle);
            ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
            return NO_FILE;
        }
    }
    return native_of(handle);
}

NativeFile host_create_new(const fs::path& path, bool) {
    return native_of(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
}

bool host_close(NativeFile file) {
    {
        AnonymousFiles& files = anonymous_files();
        const std::lock_guard lock(files.mutex);
        files.open.erase(handle_of(file));
    }
    return ::CloseHandle(handle_of(file)) != 0;
}

std::int64_t host_read(NativeFile file, void* data, std::size_t size) {
    DWORD got = 0;
    const DWORD want = size > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(size);
    if (!::ReadFile(handle_of(file), data, want, &got, nullptr)) {
        // A pipe whose writer has gone is at its end.
        return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return got;
}

std::int64_t host_write(NativeFile file, const void* data, std::size_t size) {
    DWORD written = 0;
    const DWORD want = size > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(size);
    if (!::WriteFile(handle_of(file), data, want, &written, nullptr)) {
        return -1;
    }
    return written;
}

bool host_seek(NativeFile file, std::uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(handle_of(file), position, nullptr, FILE_BEGIN) != 0;
}

bool host_set_modified(NativeFile file, FileTime time) {
    const FILETIME modified = filetime_of(time);
    return ::SetFileTime(handle_of(file), nullptr, nullptr, &modified) != 0;
}

NativeFile host_create_unique(const fs::path& dir, const std::string& stem, const std::string& suffix, fs::path& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path name = dir / path_from_utf8(stem + random_name_part() + suffix);
        HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            path = name;
            return native_of(handle);
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) {
            return NO_FILE;
        }
    }
    return NO_FILE;
}

NativeFile host_create_anonymous(const fs::path& dir) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path name = dir / path_from_utf8(".onefile-pack-" + random_name_part());
        // Deleted by the system when the last handle goes, also when the process is killed.
        HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            // Where the system can, the name goes at once, as unlink() takes it on POSIX
            // (FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS); elsewhere (Wine)
            // it stays until the handle is closed.
            struct {
                DWORD flags;
            } disposition = {0x1 | 0x2};
            ::SetFileInformationByHandle(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &disposition,
                                         sizeof disposition);
            AnonymousFiles& files = anonymous_files();
            const std::lock_guard lock(files.mutex);
            files.open.insert(handle);
            return native_of(handle);
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) {
            return NO_FILE;
        }
    }
    return NO_FILE;
}

void host_close_anonymous_files() {
    AnonymousFiles& files = anonymous_files();
    const std::lock_guard lock(files.mutex);
    for (HANDLE handle : files.open) {
        ::CloseHandle(handle);
    }
    files.open.clear();
}

bool host_create_temp_directory(fs::path& path) {
    wchar_t base[MAX_PATH + 1] = {};
    // GetTempPathW fails, rather than cuts, a path longer than its buffer.
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) {
        path = fs::path(L"%TEMP%");
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path name = fs::path(base) / path_from_utf8("onefile-pack." + random_name_part());
        if (::CreateDirectoryW(name.c_str(), nullptr)) {
            path = name;
            return true;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            path = fs::path(base);
            return false;
        }
    }
    path = fs::path(base);
    return false;
}

bool host_set_permissions(const fs::path&, unsigned) { return true; }

bool host_rename_over(const fs::path& from, const fs::path& to) {
    return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool host_remove_file(const fs::path& path) { return ::DeleteFileW(path.c_str()) != 0; }

bool host_map(NativeFile file, std::size_t size, HostMapping& mapping) {
    mapping = HostMapping{};
    if (size == 0) {
        return true;
    }
    HANDLE section = ::CreateFileMappingW(handle_of(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (section == nullptr) {
        return false;
    }
    void* view = ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, size);
    if (view == nullptr) {
        close_keeping_error(section);
        return false;
    }
    // The view keeps the section alive.
    ::CloseHandle(section);
    mapping.data = static_cast<const unsigned char*>(view);
    mapping.size = size;
    return true;
}

void host_unmap(const HostMapping& mapping) {
    if (mapping.data != nullptr) {
        ::UnmapViewOfFile(mapping.data);
    }
}

bool host_real_path(const fs::path& path, fs::path& real) {
    HANDLE handle = open_for_status(path, true, false);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            close_keeping_error(handle);
            return false;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length + 1);
    }
    ::CloseHandle(handle);
    real = without_long_prefix(buffer);
    return true;
}

bool host_link_text(const fs::path& link, std::string& text) {
    // What a reparse point names takes a structure per kind of reparse point to read; where it
    // leads in the end says as much in a message.
    fs::path real;
    if (!host_real_path(link, real)) {
        return false;
    }
    text = path_to_utf8(real);
    return true;
}

HostDirectory::HostDirectory(HostDirectory&& other) noexcept : native_(other.native_), path_(std::move(other.path_)) {
    other.native_ = NO_FILE;
}

HostDirectory& HostDirectory::operator=(HostDirectory&& other) noexcept {
    if (this != &other) {
        native_ = other.native_;
        path_ = std::move(other.path_);
        other.native_ = NO_FILE;
    }
    return *this;
}

HostDirectory::~HostDirectory() = default;

void HostDirectory::set(NativeFile native, fs::path path) {
    native_ = native;
    path_ = std::move(path);
}

bool host_open_directory(const HostDirectory* parent, const fs::path& name, bool no_follow, HostDirectory& directory,
                         FileStatus& status) {
    const fs::path path = parent == nullptr ? name : parent->path() / name;
    if (!host_status(path, !no_follow, status)) {
        return false;
    }
    if (status.kind == FileKind::Link) {
        ::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return false;
    }
    if (status.kind != FileKind::Directory) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    directory.set(NO_FILE, path);
    return true;
}

bool host_list_directory(const HostDirectory& directory, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAW found{};
    HANDLE find = ::FindFirstFileW((directory.path() / L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(utf8_of(name.c_str(), static_cast<int>(name.size())));
        }
    } while (::FindNextFileW(find, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
        ::SetLastError(error);
        return false;
    }
    return true;
}

bool host_status_at(const HostDirectory& directory, const std::string& name, FileStatus& status) {
    return host_status(directory.path() / path_from_utf8(name), false, status);
}

NativeFile host_open_read_at(const HostDirectory& directory, const std::string& name) {
    return host_open_read(directory.path() / path_from_utf8(name), true);
}

namespace {

void (*interrupt_cleanup)(int) = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    // Runs on a thread of its own. The cleanup returns with the temporaries gone and keeps them
    // from being made again; the process then ends as an interrupted console program does.
    interrupt_cleanup(static_cast<int>(event));
    ::ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

}  // namespace

void host_install_interrupt_handler(void (*cleanup)(int signal)) {
    interrupt_cleanup = cleanup;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace onefile::pack
