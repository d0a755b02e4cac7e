#include "common/errors.h"

#include <cstdio>
#include <cwchar>

#include "common/state.h"
#include "platform/platform.h"

void exit_with_error(const char* message) {
    // puts() semantics: the runtime's text mode turns the line feed into CR LF on Windows, and
    // exit() flushes a buffered stdout, so the line is never lost.
    fputs(message, stdout);
    fputc('\n', stdout);
    platform_exit(2);
}

void print_system_error(const char* message, uint32_t code) {
    const wchar_t* system_text = platform_system_error_text(code);
    if (system_text == nullptr) {
        platform_stderr_printf("%s ([Error %lu] <unknown>)\n", message, static_cast<unsigned long>(code));
        return;
    }
    // The system's text ends in its own line break; drop every trailing CR and LF so that the
    // message stays on one line. The text is ours to change: it was allocated for this call.
    size_t length = wcslen(system_text);
    wchar_t* text = const_cast<wchar_t*>(system_text);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
    text[length] = L'\0';
    platform_stderr_printf("%s ([Error %lu] %ls)\n", message, static_cast<unsigned long>(code), text);
}

void exit_with_system_error(const char* message, uint32_t code) {
    print_system_error(message, code);
    platform_exit(2);
}

namespace {

UnpackFailureHandler g_unpack_failure_handler = nullptr;

}  // namespace

void set_unpack_failure_handler(UnpackFailureHandler handler) { g_unpack_failure_handler = handler; }

void exit_with_open_error() {
    if (g_unpack_failure_handler != nullptr) g_unpack_failure_handler(platform_last_error());
    platform_stderr_printf("Error, failed to open '%ls' for writing.\n", g_state.output_path);
    platform_exit(2);
}

void abort_with_error(const wchar_t* path_spec) {
    platform_stderr_printf("Error, couldn't runtime expand spec '%ls'.\n", path_spec);
    platform_fatal_stop();
}

void exit_bad_attached_data() { exit_with_error("Error, couldn't find attached data header."); }
void exit_decode_error() { exit_with_error("Error, couldn't decode attached data."); }
void exit_out_of_memory() { exit_with_error("Error, couldn't allocate memory."); }
void exit_unpack_error(uint32_t code) {
    if (g_unpack_failure_handler != nullptr) g_unpack_failure_handler(code);
    exit_with_system_error("Error, couldn't unpack file to target path.", code);
}
void exit_launch_error(uint32_t code) { exit_with_system_error("Error, couldn't launch child", code); }
void exit_handler_registration_error() { exit_with_error("Error, failed to register signal handler."); }
void exit_load_error(uint32_t code) { exit_with_system_error("Error, load DLL.", code); }
void exit_entry_not_found() { exit_with_error("Error, DLL entry point not found."); }

// The child must receive exactly the parent's arguments: a line that would not fit the system's
// limit, or one the system cannot split, starts no child at all rather than a shortened one.
void exit_command_line_too_long() { exit_with_error("Error, child command line too long."); }
void exit_command_line_unsplittable() { exit_with_error("Error, couldn't split command line."); }
// The launcher restarts itself from its own running image; where the system cannot name that
// image (no /proc, or the launcher was started through the dynamic loader, whose image it would
// restart instead) no child could be started.
void exit_own_image_unknown() { exit_with_error("Error, couldn't find own executable."); }

void report_cache_unusable(const wchar_t* path, bool foreign, uint32_t code) {
    // One line per run, however many steps of the cache gave up.
    static bool reported = false;
    if (reported) return;
    reported = true;
    if (foreign) {
        platform_stderr_printf(
            "Warning, cache directory '%ls' is not the user's own private directory; unpacking to a temporary "
            "directory instead.\n",
            path);
        return;
    }
    const wchar_t* system_text = platform_system_error_text(code);
    size_t length = system_text != nullptr ? wcslen(system_text) : 0;
    if (system_text != nullptr) {
        wchar_t* text = const_cast<wchar_t*>(system_text);
        while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
        text[length] = L'\0';
    }
    platform_stderr_printf(
        "Warning, couldn't use cache directory '%ls' ([Error %lu] %ls); unpacking to a temporary directory "
        "instead.\n",
        path, static_cast<unsigned long>(code), system_text != nullptr ? system_text : L"<unknown>");
}
