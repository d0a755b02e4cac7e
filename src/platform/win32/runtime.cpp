// Process start and end, messages and the environment on Windows.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "windows_support.h"

extern "C" {
// The runtime's parsed command line (filled before the entry point for a -municode program).
extern int __argc;
extern wchar_t** __wargv;
}

void platform_start(int, char**) {
    // An empty string takes the current directory out of the library search order for good.
    SetDllDirectoryW(L"");
}

int platform_argc() { return __argc; }
wchar_t** platform_wargv() { return __wargv; }

void platform_exit(int status) { exit(status); }

void platform_fatal_stop() {
    // Ends at once: no exit processing, no flush, no crash dialog, and a status that is never 2.
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) {}
}

void platform_stderr_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stderr);
}

const wchar_t* platform_system_error_text(uint32_t code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return nullptr;
    text[length] = L'\0';
    return text;
}

uint32_t platform_last_error() { return GetLastError(); }

uint32_t platform_get_env(const wchar_t* name, wchar_t* buffer, uint32_t capacity) {
    return GetEnvironmentVariableW(name, buffer, capacity);
}

void platform_set_env(const wchar_t* name, const wchar_t* value) { SetEnvironmentVariableW(name, value); }

namespace {

// Runtime library modules that keep a private copy of the environment, in the order they are
// told about a change. None of them is loaded for this: only those already present are reached.
constexpr const wchar_t* RUNTIME_MODULES[] = {
    L"ucrtbase.dll", L"msvcrt.dll", L"msvcr80.dll", L"msvcr90.dll", L"msvcr100.dll", L"msvcr110.dll", L"msvcr120.dll",
};

}  // namespace

void platform_runtime_putenv(wchar_t* assignment) {
    _wputenv(assignment);
    using PutEnv = int(__cdecl*)(const wchar_t*);
    for (const wchar_t* name : RUNTIME_MODULES) {
        // GetModuleHandleW finds a module only if it is already loaded; it never loads one.
        const HMODULE module = GetModuleHandleW(name);
        if (module == nullptr) continue;
        const auto put = reinterpret_cast<PutEnv>(reinterpret_cast<void*>(GetProcAddress(module, "_wputenv")));
        if (put != nullptr) put(assignment);
    }
}

void platform_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

void* platform_allocate(size_t bytes) { return malloc(bytes); }
void platform_free(void* block) { free(block); }

void platform_release_read_pages(const void* start, size_t length) {
    constexpr uintptr_t page = 4096;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(page - 1);
    // Unlocking pages that were never locked takes them out of the working set; the call then
    // reports ERROR_NOT_LOCKED, which is expected here.
    if (end > first) VirtualUnlock(reinterpret_cast<void*>(first), end - first);
}
