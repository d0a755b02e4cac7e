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

// The linker's symbol at the image's first byte, wherever the loader placed it.
extern "C" IMAGE_DOS_HEADER __ImageBase;

const uint8_t* platform_image_base() { return reinterpret_cast<const uint8_t*>(&__ImageBase); }

void platform_exit(int status) { exit(status); }

void platform_fatal_stop() {
    // Ends at once: no exit processing, no flush, no crash dialog, and a status that is never 2.
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) {}
}

namespace {

// Room for the longest message: a 32767-unit path or system text and the message around it.
constexpr size_t MESSAGE_CAPACITY = 40000;
wchar_t g_message[MESSAGE_CAPACITY];
char g_message_bytes[MESSAGE_CAPACITY * 3];

void put(size_t* length, wchar_t c) {
    if (*length + 1 < MESSAGE_CAPACITY) g_message[(*length)++] = c;
}

// Formats the launcher's own formats: "%s" (narrow, ASCII), "%ls" (wide), "%lu" and "%%". The
// runtime's own formatting would stop a wide argument at its first character that the "C" locale
// cannot convert, losing the rest of a path with a Cyrillic or CJK user name in it.
size_t format_message(const char* format, va_list arguments) {
    size_t length = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            put(&length, static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        } else if (p[1] == 's') {
            for (const char* s = va_arg(arguments, const char*); *s != '\0'; ++s) {
                put(&length, static_cast<wchar_t>(static_cast<unsigned char>(*s)));
            }
            p += 1;
        } else if (p[1] == 'l' && p[2] == 's') {
            for (const wchar_t* s = va_arg(arguments, const wchar_t*); *s != L'\0'; ++s) put(&length, *s);
            p += 2;
        } else if (p[1] == 'l' && p[2] == 'u') {
            wchar_t digits[24];
            swprintf(digits, 24, L"%lu", va_arg(arguments, unsigned long));
            for (const wchar_t* s = digits; *s != L'\0'; ++s) put(&length, *s);
            p += 2;
        } else if (p[1] == '%') {
            put(&length, L'%');
            p += 1;
        }
    }
    g_message[length] = L'\0';
    return length;
}

}  // namespace

void platform_stderr_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const size_t length = format_message(format, arguments);
    va_end(arguments);
    fflush(stderr);
    // A console shows the whole text as it is. Anything else (a file, a pipe) gets it in UTF-8,
    // which loses no character, through the runtime's text mode, which ends lines with CR LF.
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        DWORD written = 0;
        WriteConsoleW(handle, g_message, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, g_message, static_cast<int>(length), g_message_bytes,
                                          static_cast<int>(sizeof g_message_bytes), nullptr, nullptr);
    if (bytes > 0) fwrite(g_message_bytes, 1, static_cast<size_t>(bytes), stderr);
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

namespace {

DWORD WINAPI run_thread(LPVOID argument) {
    ThreadStart* start = static_cast<ThreadStart*>(argument);
    start->function(start->argument);
    return 0;
}

}  // namespace

bool platform_start_thread(ThreadStart* start) {
    HANDLE thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
    if (thread == nullptr) return false;
    start->handle = reinterpret_cast<intptr_t>(thread);
    return true;
}

void platform_join_thread(ThreadStart* start) {
    HANDLE thread = reinterpret_cast<HANDLE>(start->handle);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

uint32_t platform_processor_count() {
    // The processors the process may run on (its affinity within its processor group), not the
    // machine's: a job confined to some of them gains nothing from more threads.
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) return 1;
    uint32_t count = 0;
    for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
    return count < 1 ? 1 : count;
}
