#include "test_platform.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <array>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <new>

#include "platform/platform.h"

// The real backend, built with its operations renamed (real_platform_names.h).
uint32_t real_platform_get_env(const wchar_t* name, wchar_t* buffer, uint32_t capacity);
void real_platform_set_env(const wchar_t* name, const wchar_t* value);
void real_platform_runtime_putenv(wchar_t* assignment);
bool real_platform_temp_path(wchar_t* out, uint64_t capacity);
bool real_platform_folder_path(ShellFolder folder, wchar_t* out);
uint32_t real_platform_current_process_id();
void real_platform_performance_counter(int64_t* counter);
int64_t real_platform_system_time();
uint32_t real_platform_full_path(const wchar_t* path, wchar_t* out, uint32_t capacity);
uint32_t real_platform_module_file_name(wchar_t* out, uint32_t capacity);
bool real_platform_process_image_path(uint32_t pid, wchar_t* out, uint32_t capacity);
void* real_platform_open_for_final_path(const wchar_t* path);
uint32_t real_platform_final_path_and_close(void* handle, wchar_t* out, uint32_t capacity);
uint32_t real_platform_short_path(const wchar_t* path, wchar_t* out, uint32_t capacity);
CreateDirResult real_platform_create_directory(const wchar_t* path);
bool real_platform_claim_target_directory(const wchar_t* path);
FileHandle real_platform_create_output_file(const wchar_t* path, bool executable);
bool real_platform_write_file(FileHandle file, const void* data, uint32_t size);
void real_platform_close_file(FileHandle file);
PathKind real_platform_path_kind(const wchar_t* path);
bool real_platform_delete_file(const wchar_t* path);
bool real_platform_remove_directory(const wchar_t* path);
bool real_platform_open_directory(DirectoryWalk* walk, wchar_t* path, uint32_t capacity);
const wchar_t* real_platform_next_entry(DirectoryWalk* walk);
void real_platform_close_directory(DirectoryWalk* walk);
wchar_t** real_platform_command_line_arguments(int* count);
ChildStart real_platform_start_child(const wchar_t* module_path, int count, wchar_t* const* arguments,
                                     std::atomic<ProcessHandle>* shared_handle, ProcessHandle* own);
bool real_platform_wait_process(ProcessHandle process, uint32_t milliseconds);
bool real_platform_process_exit_status(ProcessHandle process, uint32_t* status);
void real_platform_terminate_process(ProcessHandle process);
void real_platform_close_process(ProcessHandle process);
void real_platform_add_library_directory(const wchar_t* directory);
void* real_platform_load_main_binary(const wchar_t* path);
MainBinaryEntry real_platform_main_binary_entry(void* library);
bool real_platform_register_console_handler(bool (*handler)(int event));
PrivateDirectory real_platform_private_directory(const wchar_t* path, bool create);
RenameResult real_platform_rename_directory(const wchar_t* from, const wchar_t* to);
bool real_platform_file_matches(CheckedDirectory directory, const wchar_t* name, uint64_t size, bool check_time,
                                int64_t seconds);
void* real_platform_allocate(size_t bytes);
bool real_platform_start_thread(ThreadStart* start);
uint32_t real_platform_processor_count();
void real_platform_free(void* block);

extern "C" {
ZSTD_DCtx* __real_ZSTD_createDCtx(void);
size_t __real_ZSTD_decompressStream(ZSTD_DStream* stream, ZSTD_outBuffer* output, ZSTD_inBuffer* input);
}

namespace test_platform {

namespace {

constexpr size_t OP_COUNT = static_cast<size_t>(Op::Count);

struct Plan {
    int nth = 0;  // 0: nothing planned
    bool and_after = false;
    uint32_t error = 0;
};

std::recursive_mutex g_lock;
std::array<int, OP_COUNT> g_calls{};
std::array<Plan, OP_COUNT> g_plans{};
std::vector<Call> g_log;
Fakes g_fakes;
// The simulated tree: path -> whether it is a directory.
std::map<std::wstring, bool> g_tree;
std::vector<std::wstring> g_started_arguments;
// Failures planned by file name, and the path each open output file was created with.
std::map<Op, std::pair<std::wstring, uint32_t>> g_file_plans;
std::map<FileHandle, std::wstring> g_open_files;

bool ends_with(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether a failure is planned for `op` on the file at `path` (the last error is then set).
bool file_should_fail(Op op, const std::wstring& path) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    const auto plan = g_file_plans.find(op);
    if (plan == g_file_plans.end() || !ends_with(path, plan->second.first)) return false;
    set_last_error(plan->second.second);
    return true;
}

// Handles that stand for things the test platform made up.
constexpr ProcessHandle FAKE_CHILD_OWN = 0x70001;
constexpr ProcessHandle FAKE_CHILD_SHARED = 0x70002;
void* const FAKE_FINAL_PATH_HANDLE = reinterpret_cast<void*>(0x70003);

// Counts the call and tells whether it is to fail (the planned error is then the last error).
bool should_fail(Op op) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    const size_t index = static_cast<size_t>(op);
    const int number = ++g_calls[index];
    const Plan& plan = g_plans[index];
    if (plan.nth == 0 || number < plan.nth || (number > plan.nth && !plan.and_after)) return false;
    set_last_error(plan.error);
    return true;
}

void record(Op op, const std::wstring& text, uint64_t number = 0) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_log.push_back(Call{op, text, number});
}

std::wstring parent_of(const std::wstring& path) {
    const size_t separator = path.rfind(PATH_SEPARATOR);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// The names directly below `directory` in the simulated tree, "." and ".." first as the systems
// give them.
std::vector<std::wstring> tree_children(const std::wstring& directory) {
    std::vector<std::wstring> names{L".", L".."};
    const std::wstring prefix = directory + PATH_SEPARATOR;
    for (auto it = g_tree.lower_bound(prefix); it != g_tree.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        const std::wstring rest = it->first.substr(prefix.size());
        if (rest.find(PATH_SEPARATOR) == std::wstring::npos) names.push_back(rest);
    }
    return names;
}

struct SimulatedWalk {
    std::vector<std::wstring>* names;
    size_t next;
};
static_assert(sizeof(SimulatedWalk) <= sizeof(DirectoryWalk), "walk record too small");

}  // namespace

void fail(Op op, int nth, uint32_t error, bool and_after) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    const size_t index = static_cast<size_t>(op);
    g_plans[index] = Plan{g_calls[index] + nth, and_after, error};
}

void fail_file(Op op, const std::wstring& name, uint32_t error) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_file_plans[op] = {name, error};
}

uint32_t planned_error(Op op) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_plans[static_cast<size_t>(op)].error;
}

int calls(Op op) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    return g_calls[static_cast<size_t>(op)];
}

const std::vector<Call>& log() { return g_log; }

std::vector<Call> log_of(Op op) {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    std::vector<Call> calls;
    for (const Call& call : g_log) {
        if (call.op == op) calls.push_back(call);
    }
    return calls;
}

Fakes& fakes() { return g_fakes; }

void tree_add_directory(const std::wstring& path) { g_tree[path] = true; }
void tree_add_file(const std::wstring& path) { g_tree[path] = false; }
bool tree_has(const std::wstring& path) { return g_tree.count(path) != 0; }
size_t tree_size() { return g_tree.size(); }

std::vector<std::wstring> started_arguments() { return g_started_arguments; }

void reset() {
    std::lock_guard<std::recursive_mutex> guard(g_lock);
    g_calls.fill(0);
    g_plans.fill(Plan{});
    g_log.clear();
    g_fakes = Fakes{};
    g_tree.clear();
    g_started_arguments.clear();
    g_file_plans.clear();
}

}  // namespace test_platform

using test_platform::fakes;
using test_platform::Op;
using test_platform::record;
using test_platform::should_fail;

// ---- environment ------------------------------------------------------------------------------------

uint32_t platform_get_env(const wchar_t* name, wchar_t* buffer, uint32_t capacity) {
    if (should_fail(Op::GetEnv)) return 0;
    return real_platform_get_env(name, buffer, capacity);
}

void platform_set_env(const wchar_t* name, const wchar_t* value) {
    should_fail(Op::SetEnv);  // the launcher never looks at the result
    record(Op::SetEnv, value == nullptr ? std::wstring(name) : std::wstring(name) + L"=" + value);
    real_platform_set_env(name, value);
}

void platform_runtime_putenv(wchar_t* assignment) { real_platform_runtime_putenv(assignment); }

// ---- values the path spec keywords need ----------------------------------------------------------

bool platform_temp_path(wchar_t* out, uint64_t capacity) {
    if (should_fail(Op::TempPath)) return false;
    if (fakes().temp_path) {
        if (fakes().temp_path->size() >= capacity) return false;
        wcscpy(out, fakes().temp_path->c_str());
        return true;
    }
    return real_platform_temp_path(out, capacity);
}

bool platform_folder_path(ShellFolder folder, wchar_t* out) {
    if (should_fail(Op::FolderPath)) return false;
    if (fakes().folder_path) {
        wcscpy(out, fakes().folder_path->c_str());
        return true;
    }
    return real_platform_folder_path(folder, out);
}

uint32_t platform_current_process_id() { return real_platform_current_process_id(); }
void platform_performance_counter(int64_t* counter) { real_platform_performance_counter(counter); }

int64_t platform_system_time() {
    should_fail(Op::SystemTime);
    return fakes().system_time ? *fakes().system_time : real_platform_system_time();
}

uint32_t platform_full_path(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    if (should_fail(Op::FullPath)) return 0;
    if (fakes().full_path_result) {
        const std::wstring& text = *fakes().full_path_text;
        if (text.size() < capacity) wmemcpy(out, text.c_str(), text.size() + 1);
        return *fakes().full_path_result;
    }
    return real_platform_full_path(path, out, capacity);
}

// ---- executable paths -------------------------------------------------------------------------------

uint32_t platform_module_file_name(wchar_t* out, uint32_t capacity) {
    if (should_fail(Op::ModuleFileName)) return 0;
    if (fakes().module_file_name) {
        const std::wstring& name = *fakes().module_file_name;
        if (name.size() >= capacity) return capacity;
        wmemcpy(out, name.c_str(), name.size() + 1);
        return static_cast<uint32_t>(name.size());
    }
    return real_platform_module_file_name(out, capacity);
}

bool platform_process_image_path(uint32_t pid, wchar_t* out, uint32_t capacity) {
    if (should_fail(Op::ProcessImagePath)) return false;
    if (fakes().process_image_path) {
        const std::wstring& path = *fakes().process_image_path;
        if (path.size() >= capacity) return false;
        wmemcpy(out, path.c_str(), path.size() + 1);
        return true;
    }
    return real_platform_process_image_path(pid, out, capacity);
}

void* platform_open_for_final_path(const wchar_t* path) {
    if (should_fail(Op::OpenForFinalPath)) return nullptr;
    if (fakes().final_path) return test_platform::FAKE_FINAL_PATH_HANDLE;
    return real_platform_open_for_final_path(path);
}

uint32_t platform_final_path_and_close(void* handle, wchar_t* out, uint32_t capacity) {
    const bool fails = should_fail(Op::FinalPath);
    if (handle == test_platform::FAKE_FINAL_PATH_HANDLE) {
        if (fails) return 0;
        const std::wstring& path = *fakes().final_path;
        if (path.size() >= capacity) return static_cast<uint32_t>(path.size() + 1);
        wmemcpy(out, path.c_str(), path.size() + 1);
        return static_cast<uint32_t>(path.size());
    }
    if (fails) {
        // The handle is still closed, as the real query does; the answer is lost.
        wchar_t scratch[4097];
        real_platform_final_path_and_close(handle, scratch, 4097);
        return 0;
    }
    return real_platform_final_path_and_close(handle, out, capacity);
}

uint32_t platform_short_path(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    if (should_fail(Op::ShortPath)) return 0;
    return real_platform_short_path(path, out, capacity);
}

// ---- files and directories --------------------------------------------------------------------------

CreateDirResult platform_create_directory(const wchar_t* path) {
    record(Op::CreateDirectory, path);
    if (should_fail(Op::CreateDirectory)) return CreateDirResult::Failed;
    if (fakes().simulated_tree) {
        const std::wstring text(path);
        const auto found = test_platform::g_tree.find(text);
        if (found != test_platform::g_tree.end()) return CreateDirResult::AlreadyExists;
        const std::wstring parent = test_platform::parent_of(text);
        if (!parent.empty() && !test_platform::tree_has(parent)) {
            test_platform::set_last_error(3);  // the path above it does not exist
            return CreateDirResult::Failed;
        }
        test_platform::tree_add_directory(text);
        return CreateDirResult::Created;
    }
    return real_platform_create_directory(path);
}

bool platform_claim_target_directory(const wchar_t* path) {
    if (should_fail(Op::ClaimTarget)) return false;
    return real_platform_claim_target_directory(path);
}

FileHandle platform_create_output_file(const wchar_t* path, bool executable) {
    record(Op::CreateOutputFile, path);
    if (should_fail(Op::CreateOutputFile)) return INVALID_FILE;
    if (test_platform::file_should_fail(Op::CreateOutputFile, path)) return INVALID_FILE;
    const FileHandle file = real_platform_create_output_file(path, executable);
    if (file != INVALID_FILE) {
        std::lock_guard<std::recursive_mutex> guard(test_platform::g_lock);
        test_platform::g_open_files[file] = path;
    }
    return file;
}

bool platform_write_file(FileHandle file, const void* data, uint32_t size) {
    record(Op::WriteFile, L"", size);
    if (should_fail(Op::WriteFile)) return false;
    std::wstring path;
    {
        std::lock_guard<std::recursive_mutex> guard(test_platform::g_lock);
        const auto open = test_platform::g_open_files.find(file);
        if (open != test_platform::g_open_files.end()) path = open->second;
    }
    if (test_platform::file_should_fail(Op::WriteFile, path)) return false;
    return real_platform_write_file(file, data, size);
}

void platform_close_file(FileHandle file) {
    {
        std::lock_guard<std::recursive_mutex> guard(test_platform::g_lock);
        test_platform::g_open_files.erase(file);
    }
    real_platform_close_file(file);
}

PathKind platform_path_kind(const wchar_t* path) {
    should_fail(Op::PathKind);
    if (fakes().simulated_tree) {
        const auto found = test_platform::g_tree.find(path);
        if (found == test_platform::g_tree.end()) return PathKind::Absent;
        return found->second ? PathKind::Directory : PathKind::File;
    }
    return real_platform_path_kind(path);
}

bool platform_delete_file(const wchar_t* path) {
    record(Op::DeleteFile, path);
    if (should_fail(Op::DeleteFile)) return false;
    if (fakes().simulated_tree) return test_platform::g_tree.erase(path) == 1;
    return real_platform_delete_file(path);
}

bool platform_remove_directory(const wchar_t* path) {
    record(Op::RemoveDirectory, path);
    if (should_fail(Op::RemoveDirectory)) return false;
    if (fakes().simulated_tree) {
        if (test_platform::tree_children(path).size() > 2) return false;  // not empty
        return test_platform::g_tree.erase(path) == 1;
    }
    return real_platform_remove_directory(path);
}

bool platform_open_directory(DirectoryWalk* walk, wchar_t* path, uint32_t capacity) {
    if (should_fail(Op::OpenDirectory)) return false;
    if (fakes().simulated_tree) {
        auto* state = new (walk->storage) test_platform::SimulatedWalk;
        state->names = new std::vector<std::wstring>(test_platform::tree_children(path));
        state->next = 0;
        return true;
    }
    return real_platform_open_directory(walk, path, capacity);
}

const wchar_t* platform_next_entry(DirectoryWalk* walk) {
    if (fakes().simulated_tree) {
        auto* state = reinterpret_cast<test_platform::SimulatedWalk*>(walk->storage);
        if (state->next >= state->names->size()) return nullptr;
        return (*state->names)[state->next++].c_str();
    }
    return real_platform_next_entry(walk);
}

void platform_close_directory(DirectoryWalk* walk) {
    if (fakes().simulated_tree) {
        delete reinterpret_cast<test_platform::SimulatedWalk*>(walk->storage)->names;
        return;
    }
    real_platform_close_directory(walk);
}

// ---- the cache of unpacked applications -------------------------------------------------------------

PrivateDirectory platform_private_directory(const wchar_t* path, bool create) {
    record(Op::PrivateDirectory, path, create ? 1 : 0);
    if (should_fail(Op::PrivateDirectory)) return PrivateDirectory::Failed;
    return real_platform_private_directory(path, create);
}

RenameResult platform_rename_directory(const wchar_t* from, const wchar_t* to) {
    record(Op::RenameDirectory, std::wstring(from) + L" -> " + to);
    if (should_fail(Op::RenameDirectory)) return RenameResult::Failed;
    return real_platform_rename_directory(from, to);
}

bool platform_file_matches(CheckedDirectory directory, const wchar_t* name, uint64_t size, bool check_time,
                           int64_t seconds) {
    record(Op::FileMatches, name, size);
    if (should_fail(Op::FileMatches)) return false;
    return real_platform_file_matches(directory, name, size, check_time, seconds);
}

// ---- processes --------------------------------------------------------------------------------------

wchar_t** platform_command_line_arguments(int* count) {
    if (should_fail(Op::CommandLineArguments)) return nullptr;
    return real_platform_command_line_arguments(count);
}

ChildStart platform_start_child(const wchar_t* module_path, int count, wchar_t* const* arguments,
                                std::atomic<ProcessHandle>* shared_handle, ProcessHandle* own) {
    record(Op::StartChild, module_path, static_cast<uint64_t>(count));
    if (should_fail(Op::StartChild)) return ChildStart::Failed;
    if (fakes().child_exit_status) {
        test_platform::g_started_arguments.assign(arguments, arguments + count);
        shared_handle->store(test_platform::FAKE_CHILD_SHARED);
        *own = test_platform::FAKE_CHILD_OWN;
        return ChildStart::Started;
    }
    return real_platform_start_child(module_path, count, arguments, shared_handle, own);
}

namespace {
bool is_fake_child(ProcessHandle process) {
    return process == test_platform::FAKE_CHILD_OWN || process == test_platform::FAKE_CHILD_SHARED;
}
}  // namespace

bool platform_wait_process(ProcessHandle process, uint32_t milliseconds) {
    if (should_fail(Op::WaitProcess)) return false;
    if (is_fake_child(process)) return true;
    return real_platform_wait_process(process, milliseconds);
}

bool platform_process_exit_status(ProcessHandle process, uint32_t* status) {
    if (should_fail(Op::ExitStatus)) return false;
    if (is_fake_child(process)) {
        *status = *fakes().child_exit_status;
        return true;
    }
    return real_platform_process_exit_status(process, status);
}

void platform_terminate_process(ProcessHandle process) {
    record(Op::TerminateProcess, L"", static_cast<uint64_t>(process));
    should_fail(Op::TerminateProcess);
    if (!is_fake_child(process)) real_platform_terminate_process(process);
}

void platform_close_process(ProcessHandle process) {
    record(Op::CloseProcess, L"", static_cast<uint64_t>(process));
    should_fail(Op::CloseProcess);
    if (!is_fake_child(process)) real_platform_close_process(process);
}

// ---- main binary ------------------------------------------------------------------------------------

void platform_add_library_directory(const wchar_t* directory) { real_platform_add_library_directory(directory); }

void* platform_load_main_binary(const wchar_t* path) {
    if (should_fail(Op::LoadMainBinary)) return nullptr;
    return real_platform_load_main_binary(path);
}

MainBinaryEntry platform_main_binary_entry(void* library) {
    if (should_fail(Op::MainBinaryEntry)) return nullptr;
    return real_platform_main_binary_entry(library);
}

// ---- console events ---------------------------------------------------------------------------------

bool platform_register_console_handler(bool (*handler)(int event)) {
    if (should_fail(Op::RegisterConsoleHandler)) return false;
    return real_platform_register_console_handler(handler);
}

// ---- memory -----------------------------------------------------------------------------------------

void* platform_allocate(size_t bytes) {
    if (should_fail(Op::Allocate)) return nullptr;
    return real_platform_allocate(bytes);
}

void platform_free(void* block) { real_platform_free(block); }

// ---- threads ----------------------------------------------------------------------------------------

bool platform_start_thread(ThreadStart* start) {
    if (should_fail(Op::StartThread)) return false;
    return real_platform_start_thread(start);
}

uint32_t platform_processor_count() {
    {
        std::lock_guard<std::recursive_mutex> guard(test_platform::g_lock);
        if (fakes().processor_count) return *fakes().processor_count;
    }
    return real_platform_processor_count();
}

// ---- the decoder, through the linker's --wrap -------------------------------------------------------

extern "C" ZSTD_DCtx* __wrap_ZSTD_createDCtx(void) {
    if (should_fail(Op::CreateDecoder)) return nullptr;
    return __real_ZSTD_createDCtx();
}

extern "C" size_t __wrap_ZSTD_decompressStream(ZSTD_DStream* stream, ZSTD_outBuffer* output, ZSTD_inBuffer* input) {
    // A planned failure returns the planned error as the library's own code (corruption when none).
    if (should_fail(Op::Decompress)) {
        const uint32_t code = test_platform::planned_error(Op::Decompress);
        const uint32_t returned = code != 0 ? code : static_cast<uint32_t>(ZSTD_error_corruption_detected);
        return static_cast<size_t>(-static_cast<ptrdiff_t>(returned));
    }
    const size_t before = output->pos;
    const size_t result = __real_ZSTD_decompressStream(stream, output, input);
    // The number is what the call produced; the text says how much room it was given.
    record(Op::Decompress, std::to_wstring(output->size - before), output->pos - before);
    return result;
}
