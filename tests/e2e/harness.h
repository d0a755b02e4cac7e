// Packs fixture applications with the real packer and runs them through the real launcher, for
// either target: Linux natively, Windows under Wine in the suite's prefix.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
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
// True when the target's build (launcher kit and fixtures) is there.
bool target_available(Target target);

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;     // exit status as the shell sees it; -1 when killed by the harness
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
// Links `attached` bytes unchanged into a launcher.
void pack_raw(Target target, const std::string& attached, const fs::path& output);

struct RunOptions {
    std::vector<std::string> arguments;
    std::map<std::string, std::optional<std::string>> environment;  // nullopt removes a variable
    fs::path working_directory;                                     // empty: the scratch default
    int timeout_ms = 60000;
    bool keep_stdin_open = false;
};
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

}  // namespace e2e
