// The test platform: the launcher's platform layer as the tests link it. Every call goes to the
// real backend unless a test asked otherwise, so a test can make the Nth call of an operation fail
// with a chosen system error, give an operation a made-up result, or record what the core asked
// for and in which order. reset() puts everything back to plain pass-through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace test_platform {

enum class Op {
    Allocate,
    CreateDecoder,  // the decompression context (ZSTD_createDCtx)
    Decompress,     // one decompression call (ZSTD_decompressStream)
    GetEnv,
    SetEnv,
    TempPath,
    FolderPath,
    SystemTime,
    FullPath,
    ModuleFileName,
    ProcessImagePath,
    OpenForFinalPath,
    FinalPath,
    ShortPath,
    CreateDirectory,
    ClaimTarget,
    CreateOutputFile,
    WriteFile,
    PathKind,
    DeleteFile,
    RemoveDirectory,
    OpenDirectory,
    CommandLineArguments,
    StartChild,
    WaitProcess,
    ExitStatus,
    TerminateProcess,
    CloseProcess,
    LoadMainBinary,
    MainBinaryEntry,
    RegisterConsoleHandler,
    PrivateDirectory,
    RenameDirectory,
    FileMatches,
    StartThread,
    Count
};

// The `nth` call of `op` from now on (1 = the next one) fails, with `error` as the system's last
// error; with `and_after`, every call from then on fails too.
void fail(Op op, int nth, uint32_t error, bool and_after = false);
// Every call of `op` (CreateOutputFile, or WriteFile) for a file whose path ends in `name` fails with
// `error`, whichever thread makes it: a failure that does not depend on the order of the calls.
void fail_file(Op op, const std::wstring& name, uint32_t error);

// The error planned for `op` (for the decoder: the library's error code to return).
uint32_t planned_error(Op op);
// The calls of `op` since the last reset.
int calls(Op op);

// One call the core made, in order: the operation and its main argument in text form (a path, a
// variable's "NAME=VALUE" or "NAME" for a removal, a byte count).
struct Call {
    Op op;
    std::wstring text;
    uint64_t number = 0;
};
// Every call of the operations that take a path, a variable or a size, since the last reset.
const std::vector<Call>& log();
// Only the calls of `op`, in order.
std::vector<Call> log_of(Op op);

// Made-up results. Unset fields pass through to the real backend.
struct Fakes {
    std::optional<int64_t> system_time;
    // The temporary directory.
    std::optional<std::wstring> temp_path;
    // Both shell folders (profile and local application data).
    std::optional<std::wstring> folder_path;
    // platform_full_path writes `full_path_text` when it fits and returns `full_path_result`.
    std::optional<std::wstring> full_path_text;
    std::optional<uint32_t> full_path_result;
    std::optional<std::wstring> module_file_name;
    std::optional<std::wstring> process_image_path;
    // Every path opens for a final-path query, and the query answers this.
    std::optional<std::wstring> final_path;
    // Directories and files live in memory instead of on disk: creation, kinds, enumeration and
    // removal all work on the simulated tree, which starts with the given directories.
    bool simulated_tree = false;
    // Starting the child succeeds without a process: waiting returns at once and its exit status
    // is this value.
    std::optional<uint32_t> child_exit_status;
    // The number of processors the process may run on.
    std::optional<uint32_t> processor_count;
};
Fakes& fakes();

// The simulated tree: add a directory or a file, and read back what exists.
void tree_add_directory(const std::wstring& path);
void tree_add_file(const std::wstring& path);
bool tree_has(const std::wstring& path);
size_t tree_size();

// What the last fake child was started with.
std::vector<std::wstring> started_arguments();

// Back to plain pass-through: no failures planned, no fakes, counters and log empty.
void reset();

// Sets the calling thread's last system error, as the real operations leave it.
void set_last_error(uint32_t error);

// From now on standard output goes where standard error goes: a death test, which sees only
// standard error, then sees the plain messages too.
void join_stdout_to_stderr();

// A file's last modification time: seconds since 1970 and nanoseconds; false if it cannot be read.
bool file_time(const std::wstring& path, int64_t* seconds, uint32_t* nanoseconds);
// Sets a file's or directory's last change time to `seconds` seconds ago; false if it cannot.
bool set_age(const std::wstring& path, int64_t seconds);

}  // namespace test_platform
