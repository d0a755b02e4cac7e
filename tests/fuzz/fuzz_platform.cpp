// A platform that touches nothing: files and directories are accepted and discarded, and every
// way of ending the process jumps back into the fuzzing harness instead.
#include "fuzz_platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <mutex>
#include <thread>

#include "platform/platform.h"

jmp_buf g_fuzz_exit;

void platform_start(int, char**) {}
int platform_argc() { return 0; }
wchar_t** platform_wargv() { return nullptr; }
void platform_exit(int status) { longjmp(g_fuzz_exit, status + 1); }
void platform_fatal_stop() { longjmp(g_fuzz_exit, FUZZ_FATAL_STOP); }
void platform_stderr_printf(const char*, ...) {}
const wchar_t* platform_system_error_text(uint32_t) { return nullptr; }
uint32_t platform_last_error() { return 0; }
uint32_t platform_get_env(const wchar_t*, wchar_t*, uint32_t) { return 0; }
void platform_set_env(const wchar_t*, const wchar_t*) {}
void platform_runtime_putenv(wchar_t*) {}
bool platform_temp_path(wchar_t* out, uint64_t capacity) {
    if (capacity <= 5) return false;
    wcscpy(out, L"/tmp");
    return true;
}
bool platform_folder_path(ShellFolder, wchar_t* out) {
    wcscpy(out, L"/home/fuzz");
    return true;
}
uint32_t platform_current_process_id() { return 1; }
void platform_performance_counter(int64_t* counter) { *counter = 1; }
int64_t platform_system_time() { return 1; }
uint32_t platform_full_path(const wchar_t*, wchar_t*, uint32_t) { return 0; }
uint32_t platform_module_file_name(wchar_t*, uint32_t) { return 0; }
bool platform_own_image_known() { return true; }
void platform_set_child_library_directory(const wchar_t*) {}
void platform_end_with_parent() {}
bool platform_process_image_path(uint32_t, wchar_t*, uint32_t) { return false; }
void* platform_open_for_final_path(const wchar_t*) { return nullptr; }
uint32_t platform_final_path_and_close(void*, wchar_t*, uint32_t) { return 0; }
uint32_t platform_short_path(const wchar_t*, wchar_t*, uint32_t) { return 0; }
CreateDirResult platform_create_directory(const wchar_t*) { return CreateDirResult::Created; }
bool platform_claim_target_directory(const wchar_t*) { return true; }
bool platform_file_name_allowed(const wchar_t*, size_t) { return true; }
void platform_mark_target_directory(const wchar_t*) {}
void platform_unmark_target_directory() {}
bool platform_directory_is_abandoned(const wchar_t*) { return false; }
bool platform_directory_unused_for(const wchar_t*, uint32_t) { return false; }
PrivateDirectory platform_private_directory(const wchar_t*, bool) { return PrivateDirectory::Failed; }
RenameResult platform_rename_directory(const wchar_t*, const wchar_t*) { return RenameResult::Failed; }
CheckedDirectory platform_open_checked_directory(const wchar_t*) { return NO_DIRECTORY; }
void platform_close_checked_directory(CheckedDirectory) {}
bool platform_file_matches(CheckedDirectory, const wchar_t*, uint64_t, bool, int64_t) { return false; }
void platform_touch_directory(const wchar_t*) {}

// What was written, summed over files so that the order in which workers write them does not
// matter: each file adds a hash of its path and bytes when it is closed.
namespace {
std::mutex g_files_lock;
std::map<FileHandle, uint64_t> g_open_files;
FileHandle g_next_handle = 1;
uint64_t mix(uint64_t hash, uint64_t value) { return (hash ^ value) * 0x100000001B3ull; }
}  // namespace
std::atomic<uint64_t> g_fuzz_written{0};

FileHandle platform_create_output_file(const wchar_t* path, bool) {
    // Every path the core composes must be terminated within its buffer.
    const size_t length = wcslen(path);
    if (length >= 4096) abort();
    uint64_t hash = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < length; ++i) hash = mix(hash, static_cast<uint64_t>(path[i]));
    std::lock_guard<std::mutex> guard(g_files_lock);
    const FileHandle file = g_next_handle++;
    g_open_files[file] = mix(hash, 0xFF);
    return file;
}
bool platform_write_file(FileHandle file, const void* data, uint32_t size) {
    // Touch every byte so that the sanitizers see the whole chunk.
    uint64_t hash = 0;
    {
        std::lock_guard<std::mutex> guard(g_files_lock);
        hash = g_open_files[file];
    }
    for (uint32_t i = 0; i < size; ++i) hash = mix(hash, static_cast<const unsigned char*>(data)[i]);
    std::lock_guard<std::mutex> guard(g_files_lock);
    g_open_files[file] = hash;
    return true;
}
void platform_close_file(FileHandle file) {
    std::lock_guard<std::mutex> guard(g_files_lock);
    g_fuzz_written += g_open_files[file];
    g_open_files.erase(file);
}
void platform_set_file_time(FileHandle, int64_t, uint32_t) {}
PathKind platform_path_kind(const wchar_t*) { return PathKind::Absent; }
bool platform_delete_file(const wchar_t*) { return true; }
bool platform_remove_directory(const wchar_t*) { return true; }
bool platform_open_directory(DirectoryWalk*, wchar_t*, uint32_t) { return false; }
const wchar_t* platform_next_entry(DirectoryWalk*) { return nullptr; }
void platform_close_directory(DirectoryWalk*) {}
wchar_t** platform_command_line_arguments(int*) { return nullptr; }
ChildStart platform_start_child(const wchar_t*, int, wchar_t* const*, std::atomic<ProcessHandle>*, ProcessHandle*) {
    return ChildStart::Failed;
}
bool platform_wait_process(ProcessHandle, uint32_t) { return true; }
bool platform_process_exit_status(ProcessHandle, uint32_t*) { return false; }
void platform_terminate_process(ProcessHandle) {}
void platform_close_process(ProcessHandle) {}
void platform_enter_application() {}
void platform_add_library_directory(const wchar_t*) {}
void* platform_load_main_binary(const wchar_t*) { return nullptr; }
MainBinaryEntry platform_main_binary_entry(void*) { return nullptr; }
bool platform_register_console_handler(bool (*)(int)) { return true; }
void platform_sleep_ms(uint32_t) {}
void platform_release_read_pages(const void*, size_t) {}
void* platform_allocate(size_t bytes) { return malloc(bytes); }
void platform_free(void* block) { free(block); }
// Real threads, so that the sanitizers watch the parallel extraction as it runs in the launcher.
bool platform_start_thread(ThreadStart* start) {
    start->handle = reinterpret_cast<intptr_t>(new std::thread(start->function, start->argument));
    return true;
}
void platform_join_thread(ThreadStart* start) {
    auto* thread = reinterpret_cast<std::thread*>(start->handle);
    thread->join();
    delete thread;
}
uint32_t g_fuzz_processor_count = 4;
uint32_t platform_processor_count() { return g_fuzz_processor_count; }
