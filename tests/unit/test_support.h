// Helpers shared by the unit suites (and the Windows-only suite): a scratch directory for the run,
// guards that put process state back, hand-built attached data, and matchers for captured output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace unit {

namespace fs = std::filesystem;

// ---- running the suite ---------------------------------------------------------------------------

// Creates the run's scratch directory (unless a death-test child inherited it through the
// environment), runs every test and removes the directory again if this process created it.
int run_all_tests_in_scratch();

// The run's scratch directory; it exists for the whole run.
fs::path scratch_root();
// A path below the scratch root named after the running test and `tag`. A death-test child that
// re-runs the test computes the same path, so the parent can look at what the child left.
fs::path test_path(const std::string& tag);

// ---- files ----------------------------------------------------------------------------------------

// Conversions between paths and the launcher's wide strings that do not depend on the locale: UTF-8
// on the path side, UTF-16 or UTF-32 (whatever wchar_t holds) on the other.
std::wstring wide(const fs::path& path);
fs::path path_of(const std::wstring& text);
// The file's bytes; a missing file fails the test and gives "".
std::string read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& content);
bool is_directory(const fs::path& path);
bool exists_or_is_link(const fs::path& path);
// Every path below `root`, relative and with '/' separators, sorted.
std::vector<std::wstring> list_tree(const fs::path& root);

// ---- process state --------------------------------------------------------------------------------

// Puts an environment variable back as it was when the guard was made.
class EnvGuard {
public:
    explicit EnvGuard(const char* name);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    std::wstring value_;
    bool present_;
};

// Replaces argument 0 of the runtime's argument vector for the guard's lifetime.
class ArgvZeroGuard {
public:
    explicit ArgvZeroGuard(const wchar_t* replacement);
    ~ArgvZeroGuard();
    ArgvZeroGuard(const ArgvZeroGuard&) = delete;
    ArgvZeroGuard& operator=(const ArgvZeroGuard&) = delete;

private:
    std::wstring text_;
    wchar_t* saved_;
};

// Allocations made while it lives are not reported as leaks by the sanitizer build. For what the
// launcher keeps for the life of the process by design, when a test then drops it by running the
// same step again in-process.
class LeakCheckPause {
public:
    LeakCheckPause();
    ~LeakCheckPause();
    LeakCheckPause(const LeakCheckPause&) = delete;
    LeakCheckPause& operator=(const LeakCheckPause&) = delete;
};

// ---- extraction -----------------------------------------------------------------------------------

// Points the launcher's target directory at `target` (it need not exist).
void set_target_directory(const fs::path& target);

// A test that extracts in-process: each starts with no remembered directories, no main binary and
// no decoder, and leaves none behind.
class ExtractionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A target directory below the run's scratch directory, named after the test and `tag`.
    static fs::path use_target(const std::string& tag = "target");
    // The parent's header check and extraction over `blob`.
    static void extract(const std::vector<uint8_t>& blob);
};

// ---- ways of ending -------------------------------------------------------------------------------

// A bound that would be exceeded: the process ends at once with status 3, never 2.
inline ::testing::ExitedWithCode fatal_stop() { return ::testing::ExitedWithCode(3); }
// A reported failure: a message and status 2.
inline ::testing::ExitedWithCode reported_failure() { return ::testing::ExitedWithCode(2); }

// A matcher for a death test's captured standard error.
::testing::Matcher<const std::string&> output_satisfies(std::function<bool(const std::string&)> predicate,
                                                        const std::string& description);
// Matches exactly `expected`, after CR LF line ends (Windows text mode) are turned into LF.
::testing::Matcher<const std::string&> output_is(const std::string& expected);
std::string without_carriage_returns(const std::string& text);
// A plain message as the launcher writes it: one line on standard output. For a death test that
// calls stdout_to_stderr() first.
::testing::Matcher<const std::string&> plain_message(const std::string& message);
// Joins standard output to standard error for the rest of the process (a death test's child).
void stdout_to_stderr();

// ---- attached data --------------------------------------------------------------------------------

void put_u32(std::vector<uint8_t>& out, uint32_t value);
void put_u64(std::vector<uint8_t>& out, uint64_t value);
// UTF-16LE code units, without a terminator.
void put_utf16(std::vector<uint8_t>& out, const std::u16string& text);

// One file entry: flags, size, name and (with the link flag) a second string, each string
// followed by its NUL code unit.
std::vector<uint8_t> encode_entry(uint32_t flags, uint64_t size, const std::u16string& name,
                                  const std::u16string& second = u"");

// Header (file table size, compressed size), file table, compressed stream and trailing bytes.
std::vector<uint8_t> make_blob(const std::vector<uint8_t>& table, const std::vector<uint8_t>& compressed,
                               const std::vector<uint8_t>& trailing = {});
std::vector<uint8_t> make_blob_with_header(uint64_t table_size, uint64_t compressed_size,
                                           const std::vector<uint8_t>& rest);

// One Zstandard frame without content size; with `checksum`, ended by a content checksum as the
// packer writes it today, else as older packers wrote it.
std::vector<uint8_t> zstd_frame(const std::string& content, int level = 3, bool checksum = false);

struct AppFile {
    std::u16string name;
    std::string content;
    uint32_t flags = 0;
};
// A whole attached data blob for `files`: the last entry carries the last flag, the contents are
// one compressed frame.
std::vector<uint8_t> make_application(const std::vector<AppFile>& files, bool checksum = false);

// One Zstandard frame as the packer writes a frame of several: content size and checksum in it, the
// window `window_log` (0: the library's choice for the content).
std::vector<uint8_t> sized_frame(const std::string& content, int level = 3, int window_log = 0);

// A whole attached data blob whose stream is several frames of whole files, as the packer writes
// it for parallel extraction: `frame_starts` holds the index of each frame's first file (the
// first is 0).
std::vector<uint8_t> make_framed_application(const std::vector<AppFile>& files, const std::vector<size_t>& frame_starts);

// Where each frame of a blob made by make_framed_application lies in it: offset from the start of
// the blob and length.
std::vector<std::pair<size_t, size_t>> frame_positions(const std::vector<uint8_t>& blob);

// Deterministic, poorly compressible bytes.
std::string noise(size_t size, uint32_t seed);

}  // namespace unit
