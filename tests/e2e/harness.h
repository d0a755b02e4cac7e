// Packs fixture applications with the real packer and runs them through the real launcher, for
// either target: Linux natively, Windows under Wine in the suite's prefix.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

enum class Target { Linux, Windows };

std::string target_name(Target target);
// The file name of a fixture main binary or library for the target ("fixture_app" gives
// fixture_app.so or fixture_app.dll).
std::string library_name(Target target, const std::string& stem);
// The built fixture (tests/fixtures) of that name for the target.
fs::path fixture_path(Target target, const std::string& stem);
// The built fixture program (an ordinary executable of tests/fixtures) of that name for the target
// ("exec_echo" gives exec_echo or exec_echo.exe).
fs::path program_fixture_path(Target target, const std::string& stem);
// True when the target's build (launcher kit and fixtures) is there.
bool target_available(Target target);

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;  // exit status as the shell sees it; -1 when killed by the harness
    bool timed_out = false;
};

// A fresh scratch directory for one test, removed by the destructor.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

// An application directory holding the fixture main binary and its helper library.
fs::path make_fixture_app(Target target, const fs::path& directory);
// Writes a file (creating its directories).
void write_file(const fs::path& path, const std::string& content);
std::string read_file(const fs::path& path);

// Runs onefile-pack with the given arguments; returns its result.
RunResult run_packer(const std::vector<std::string>& arguments);
// Packs `app_dir` with `main` as main binary into `output` for the target; fails the test on error.
void pack(Target target, const fs::path& app_dir, const std::string& main, const fs::path& output,
          const std::vector<std::string>& extra = {});
// Packs the ordinary program `program` (relative to `app_dir`) with --exec into `output`; fails the
// test on error.
void pack_exec(Target target, const fs::path& app_dir, const std::string& program, const fs::path& output);
// Links `attached` bytes unchanged into a launcher.
void pack_raw(Target target, const std::string& attached, const fs::path& output);

struct RunOptions {
    std::vector<std::string> arguments;
    std::map<std::string, std::optional<std::string>> environment;  // nullopt removes a variable
    fs::path working_directory;                                     // empty: the scratch default
    int timeout_ms = 60000;
    bool keep_stdin_open = false;
    // Put in front of the command (Wine included): a program that starts the launcher, such as
    // `env --ignore-signal=HUP` or the dynamic loader.
    std::vector<std::string> command_prefix;
};
// Options with only the arguments set.
RunOptions with_arguments(std::vector<std::string> arguments);
// Runs a packed executable (under Wine for Windows). Output is returned raw (CR LF kept).
RunResult run(Target target, const fs::path& executable, const RunOptions& options = {});

// Where the launcher of that target puts its target directories (Linux: the TMPDIR the harness
// sets for its runs; Windows: the Wine user's temporary directory).
fs::path launcher_temp_dir(Target target);
// The onefile_* directories currently in launcher_temp_dir.
std::vector<fs::path> target_directories(Target target);
// Turns a Windows path printed by a fixture ("C:\users\..." or "Z:\tmp\...") into a host path.
fs::path host_path(Target target, const std::string& printed);
// Line end of the target's text streams.
std::string eol(Target target);
// A failure the launcher reports as a plain message: exactly that line on standard output (with the
// target's line end), nothing on standard error, exit status 2.
void expect_plain_failure(const RunResult& result, const std::string& message, Target target);

// Attached data built by hand, for malformed cases.
struct EntrySpec {
    uint32_t flags;
    uint64_t size;
    std::u16string name;
    std::u16string second;  // written only with the link flag
};
std::string attached_bytes(uint64_t table_size, uint64_t compressed_size, const std::string& table,
                           const std::string& stream, const std::string& trailing = std::string(9, '\0'));
std::string entry_bytes(const EntrySpec& entry);
// A Zstandard frame of `content` (default parameters, one frame).
std::string compress(const std::string& content);

// A test parameterized over the targets; skips a target whose build is missing (fails instead when
// ONEFILE_E2E_REQUIRE_WINDOWS is set).
class TargetTest : public ::testing::TestWithParam<Target> {
protected:
    void SetUp() override;
    Target target() const { return GetParam(); }
};
// Names the instantiations "linux" and "windows".
std::string target_param_name(const ::testing::TestParamInfo<Target>& info);

// The fixture application (fixture_app as main binary, fixture_helper beside it) packed for the
// target; kept in the build tree and packed again only when the packer, the kit or a fixture
// changed, so that every test that only needs to run it shares one executable.
const fs::path& packed_fixture(Target target);

// A launcher started without waiting for it, for tests that act while it runs. The destructor
// kills what is left of its process group.
class RunningProcess {
public:
    RunningProcess(pid_t pid, int out_fd, int err_fd, int in_fd);
    ~RunningProcess();
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    // The process id of what was started (for Windows: of the Wine process, not a Windows id).
    pid_t pid() const { return pid_; }
    // Collects output until standard output holds `text`; false if the time ran out or the
    // streams closed first.
    bool wait_for_stdout(const std::string& text, int timeout_ms);
    // Collects output until `done` holds for everything on standard output so far; false as above.
    bool wait_for_stdout_if(const std::function<bool(const std::string&)>& done, int timeout_ms);
    // Waits for the end, killing the process group after `timeout_ms`, and returns everything.
    // The streams close only when every process holding them has ended, so a process that
    // outlives the one started (a child left running) shows as a timeout.
    RunResult finish(int timeout_ms);
    // After finish(): the exit status of the started process itself (128 + N when a signal ended
    // it), even when another process kept the streams open; -1 if the harness had to kill it.
    int own_status() const { return own_status_; }
    const std::string& out_so_far() const { return result_.out; }
    // Closes the write end of its standard input (started with keep_stdin_open).
    void close_stdin();
    // Writes `bytes` to its standard input (started with keep_stdin_open); true when all went.
    // Meant for less than a pipe's buffer, which needs no reader yet.
    bool write_stdin(const std::string& bytes);

private:
    // Reads what is there, waiting at most `timeout_ms`; false once both streams are closed.
    bool pump(int timeout_ms);
    // Reaps the started process if it has ended, keeping its status.
    void poll_own_end();

    pid_t pid_;
    int fds_[2];
    int in_fd_;
    bool reaped_ = false;
    int own_status_ = -1;
    RunResult result_;
};
// Runs a packed executable like run(), but with a new pseudo-terminal as its controlling terminal
// and standard input, output and error (under Wine: a console that every process of the run
// shares). What the terminal showed comes back in `out`, terminal control sequences included.
RunResult run_in_terminal(Target target, const fs::path& executable, const RunOptions& options = {});
// Starts `argv` with exactly `env` on a new pseudo-terminal: in a session of its own, whose
// controlling terminal and standard streams the terminal is, in `directory` unless that is empty.
// Returns the process id and sets `*terminal` to the terminal's master side, which the caller
// closes; -1 (with the failure reported) when either cannot be had.
pid_t start_on_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const fs::path& directory, int* terminal);
// The suite's Wine prefix: $WINEPREFIX, else build/wineprefix of the source tree.
fs::path wine_prefix();
// Starts a packed executable like run(), without waiting.
std::unique_ptr<RunningProcess> start(Target target, const fs::path& executable, const RunOptions& options = {});

// Output helpers: the lines of a text without line ends (CR LF or LF), and the KEY=VALUE lines.
std::vector<std::string> output_lines(const std::string& text);
std::map<std::string, std::string> key_values(const std::string& text);
// The 64-bit FNV-1a hash that the fixture's "hash" mode prints.
uint64_t fnv1a(const std::string& bytes);
// The Windows spelling of a host path as Wine's Z: drive shows it.
std::string windows_path(const fs::path& host);
// A Windows path printed by the launcher or an application against the host path it should name:
// Wine's Z: drive spelling of it, where a directory part may come in Wine's short (8.3) form.
::testing::AssertionResult names_host_path(const std::string& printed, const fs::path& host);
// The target directories that exist now and were not in `before`.
std::vector<fs::path> new_target_directories(Target target, const std::vector<fs::path>& before);
// Removes a directory tree that a test left on purpose, read-only files included.
void remove_left_directory(const fs::path& directory);
// The regular files below a directory, as relative paths with '/' separators, sorted.
std::vector<std::string> files_below(const fs::path& directory);

// Runs a host program (no Wine) and collects its output.
RunResult run_command(const std::vector<std::string>& argv, int timeout_ms = 60000);

// UTF-16 text of a UTF-8 string (entry names may be any text).
std::u16string utf16(const std::string& utf8);

// One file of hand-made attached data. `size`, when set, replaces the content's length in the
// table; `second` is written only with the link flag.
struct FileSpec {
    uint32_t flags = 0;
    std::u16string name;
    std::string content;
    std::optional<uint64_t> size = std::nullopt;
    std::u16string second = {};
};
inline constexpr uint32_t FLAG_BIT0 = 1;
inline constexpr uint32_t FLAG_LINK = 2;
inline constexpr uint32_t FLAG_LAST = 4;
// The file table of these entries, in order, flags exactly as given.
std::string file_table(const std::vector<FileSpec>& files);
// Their contents back to back, as the compressed stream must yield them.
std::string joined_contents(const std::vector<FileSpec>& files);
// Attached data: header, file table, one frame of the joined contents, then `trailing`.
std::string attached_for(const std::vector<FileSpec>& files, const std::string& trailing = std::string(9, '\0'));
// The fixture application as file specs: fixture_app (main binary, flags 0), fixture_helper
// (flags ENTRY_FLAG_LAST).
std::vector<FileSpec> fixture_files(Target target);

}  // namespace e2e
