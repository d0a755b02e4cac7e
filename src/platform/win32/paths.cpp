// Paths on Windows: temporary and shell folders, the executable's own path, final and short paths.
#include <cwchar>

#include "platform/platform.h"
#include "windows_support.h"

// After <windows.h>, which they need.
#include <psapi.h>
#include <shlobj.h>

namespace {
constexpr uint32_t MAX_CAPACITY = 4097;  // the largest buffer the core asks a final path into
}

bool platform_temp_path(wchar_t* out, uint64_t capacity) {
    const DWORD size = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    // 0 is a failure (Wine fails for a path longer than MAX_PATH), a value of `size` or more is
    // the room the path would need.
    const DWORD length = GetTempPathW(size, out);
    return length != 0 && length < size;
}

HMODULE shell32_module() {
    static HMODULE module = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module;
}

bool platform_folder_path(ShellFolder folder, wchar_t* out) {
    using GetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    const HMODULE shell32 = shell32_module();
    const auto get_folder_path =
        shell32 == nullptr
            ? nullptr
            : reinterpret_cast<GetFolderPath>(reinterpret_cast<void*>(GetProcAddress(shell32, "SHGetFolderPathW")));
    if (get_folder_path == nullptr) return false;
    const int csidl = folder == ShellFolder::Profile ? CSIDL_PROFILE : CSIDL_LOCAL_APPDATA;
    return get_folder_path(nullptr, csidl, nullptr, 0, out) == S_OK;
}

uint32_t platform_current_process_id() { return GetCurrentProcessId(); }

void platform_performance_counter(int64_t* counter) {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    *counter = value.QuadPart;
}

int64_t platform_system_time() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

uint32_t platform_full_path(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    return GetFullPathNameW(path, capacity, out, nullptr);
}

bool platform_own_image_known() { return true; }

uint32_t platform_module_file_name(wchar_t* out, uint32_t capacity) {
    return GetModuleFileNameW(nullptr, out, capacity);
}

bool platform_process_image_path(uint32_t pid, wchar_t* out, uint32_t capacity) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return false;
    const DWORD length = K32GetModuleFileNameExW(process, nullptr, out, capacity);
    CloseHandle(process);
    return length > 0 && length < capacity;
}

void* platform_open_for_final_path(const wchar_t* path) {
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

uint32_t platform_final_path_and_close(void* handle, wchar_t* out, uint32_t capacity) {
    // Looked up at run time: the launcher also starts on systems whose kernel32 lacks it.
    using FinalPath = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    static const auto final_path = reinterpret_cast<FinalPath>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
    DWORD length = 0;
    if (final_path != nullptr && capacity <= MAX_CAPACITY) {
        // Into a buffer of our own: a failed query must leave the caller's copy untouched.
        wchar_t result[MAX_CAPACITY];
        length = final_path(static_cast<HANDLE>(handle), result, capacity, 0);
        if (length > 0 && length < capacity) wmemcpy(out, result, length + 1);
    }
    CloseHandle(static_cast<HANDLE>(handle));
    return length;
}

uint32_t platform_short_path(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    return GetShortPathNameW(path, out, capacity);
}
