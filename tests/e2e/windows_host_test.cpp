// The Windows-hosted packer, onefile-pack.exe run under Wine, against the Linux one: the same
// application directory, read through a C:\ (or Z:\) path on one side and its host path on the
// other, gives the same bytes for either target, and --list and --verify say the same.
//
// The files get whole-second modification times: the record keeps nanoseconds, and Wine reads a
// Linux file's time to 100 ns only. Their execute bits follow the rule the Windows host uses for
// want of such bits (a file is a program when it begins with ELF, MZ or #!), as a toolchain leaves
// them on Linux.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

fs::path windows_packer() { return fs::path(ONEFILE_SOURCE_DIR) / "build" / "windows" / "bin" / "onefile-pack.exe"; }

RunResult run_windows_packer(const std::vector<std::string>& arguments) {
    RunOptions options = with_arguments(arguments);
    options.timeout_ms = 120000;
    return run(Target::Windows, windows_packer(), options);
}

RunResult run_linux_packer(const std::vector<std::string>& arguments) { return run_packer(arguments); }

// A directory on the Wine prefix's C: drive, named both ways; removed at the end.
class DriveCDir {
public:
    DriveCDir() {
        const std::string name = "onefile-winhost-" + std::to_string(getpid()) + "-" + std::to_string(++count_);
        host_ = wine_prefix() / "drive_c" / name;
        windows_ = "C:\\" + name;
        std::error_code error;
        fs::remove_all(host_, error);
        fs::create_directories(host_);
    }
    ~DriveCDir() {
        std::error_code error;
        fs::remove_all(host_, error);
    }
    // The host path of `relative` ('/' separators) and its C:\ spelling.
    fs::path host(const std::string& relative = "") const { return relative.empty() ? host_ : host_ / relative; }
    std::string windows(const std::string& relative = "") const {
        std::string path = windows_;
        if (!relative.empty()) path += "\\" + relative;
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
        return path;
    }

private:
    static inline int count_ = 0;
    fs::path host_;
    std::string windows_;
};

void set_whole_second_time(const fs::path& path, long long seconds) {
    const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string random_text(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// The fixture application with data around it: a subdirectory two deep, an empty file, a name
// outside ASCII, a script, a compressible and an incompressible file. `large` adds a file larger
// than one compression job (32 MiB), where worker threads change the compressed bytes.
void make_application(Target target, const fs::path& app, bool large) {
    make_fixture_app(target, app);
    write_file(app / "data" / "numbers.txt", [] {
        std::string text;
        for (int i = 0; i < 150000; ++i) text += std::to_string(i * 7919 % 100003) + "\n";
        return text;
    }());
    write_file(app / "data" / "deep" / "random.bin", random_text(300000, 7));
    write_file(app / "data" / "empty", "");
    write_file(app / "data" / "caf\xc3\xa9 \xe2\x98\x95.txt", "non-ASCII name\n");
    write_file(app / "tools" / "run.sh", "#!/bin/sh\necho packed\n");
    if (large) {
        std::string text;
        text.reserve(40u << 20);
        for (int i = 0; text.size() < (40u << 20); ++i) text += "line " + std::to_string(i) + " of a large file\n";
        write_file(app / "large" / "log.txt", text);
    }
    long long seconds = 1700000000;
    for (const auto& entry : fs::recursive_directory_iterator(app)) {
        if (!entry.is_regular_file()) continue;
        // Programs, libraries and scripts executable, data not: what the Windows host decides from
        // the contents.
        const std::string name = entry.path().filename().string();
        const bool program = name.ends_with(".so") || name.ends_with(".dll") || name.ends_with(".sh");
        fs::permissions(entry.path(), program ? fs::perms(0755) : fs::perms(0644));
        set_whole_second_time(entry.path(), seconds);
        seconds += 3601;
    }
}

class WindowsHostedPacker : public TargetTest {
protected:
    void SetUp() override {
        TargetTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!fs::exists(windows_packer())) {
            if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << windows_packer() << " missing";
            GTEST_SKIP() << windows_packer() << " missing; build the windows preset first";
        }
    }
    std::string main_binary() const { return library_name(target(), "fixture_app"); }
};

struct SameBytesCase {
    const char* label;
    std::vector<std::string> options;
    bool large = false;
    bool z_drive = false;  // the Windows packer reads the directory through Z:\ instead of C:\ .
    // The application directory's name, and the output's name before ".bin": outside ASCII, they
    // reach onefile-pack.exe only through the wide command line.
    std::string app = "app";
    std::string output = "out";
    // --exec: the program fixture is packed as an ordinary program, behind the kit's exec main
    // binary.
    bool exec = false;
};

// Both the target's build and the Windows-hosted packer are needed; missing, the test is skipped,
// or fails where the suite requires the Windows build.
void skip_unless_built(Target target) {
    if (!target_available(target) || !fs::exists(windows_packer())) {
        if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << target_name(target) << " build missing";
        GTEST_SKIP() << "build the windows preset first";
    }
}

void PrintTo(const SameBytesCase& param, std::ostream* out) { *out << param.label; }

class SameBytes : public ::testing::WithParamInterface<std::tuple<Target, SameBytesCase>>, public ::testing::Test {
protected:
    void SetUp() override { skip_unless_built(std::get<0>(GetParam())); }
};

TEST_P(SameBytes, AttachedDataListAndVerifyMatchTheLinuxPacker) {
    const auto& [target, param] = GetParam();
    DriveCDir dir;
    make_application(target, dir.host(param.app), param.large);
    std::string main = library_name(target, "fixture_app");
    std::vector<std::string> common = {"--quiet", "--target", target_name(target)};
    common.insert(common.end(), param.options.begin(), param.options.end());
    if (param.exec) {
        const fs::path program = program_fixture_path(target, "exec_echo");
        main = program.filename().string();
        fs::copy_file(program, dir.host(param.app) / main);
        fs::permissions(dir.host(param.app) / main, fs::perms(0755));
        set_whole_second_time(dir.host(param.app) / main, 1600000000);
        common.push_back("--exec");
    }

    std::vector<std::string> linux_args = common;
    linux_args.insert(linux_args.end(), {"--attached-only", dir.host("linux-" + param.output + ".bin").string(),
                                         dir.host(param.app).string(), main});
    const RunResult linux_run = run_linux_packer(linux_args);
    ASSERT_EQ(linux_run.status, 0) << linux_run.err;

    const std::string app_windows = param.z_drive ? windows_path(dir.host(param.app)) : dir.windows(param.app);
    std::vector<std::string> windows_args = common;
    windows_args.insert(windows_args.end(),
                        {"--attached-only", dir.windows("windows-" + param.output + ".bin"), app_windows, main});
    const RunResult windows_run = run_windows_packer(windows_args);
    ASSERT_EQ(windows_run.status, 0) << windows_run.err;
    EXPECT_EQ(windows_run.out, "");

    const std::string linux_bytes = read_file(dir.host("linux-" + param.output + ".bin"));
    const std::string windows_bytes = read_file(dir.host("windows-" + param.output + ".bin"));
    ASSERT_GT(linux_bytes.size(), 16u);
    EXPECT_TRUE(windows_bytes == linux_bytes)
        << "onefile-pack.exe wrote " << windows_bytes.size() << " bytes, onefile-pack " << linux_bytes.size();

    const RunResult linux_list = run_linux_packer({"--list", dir.host("linux-" + param.output + ".bin").string()});
    const RunResult windows_list = run_windows_packer({"--list", dir.windows("windows-" + param.output + ".bin")});
    ASSERT_EQ(linux_list.status, 0) << linux_list.err;
    EXPECT_EQ(windows_list.status, 0) << windows_list.err;
    // Line ends included: "\n" on both hosts.
    EXPECT_EQ(windows_list.out, linux_list.out);
    // The script and the libraries are programs, the data is not (the script, last, carries 1 | 4).
    EXPECT_NE(linux_list.out.find("tools\\run.sh\t22\t5\n"), std::string::npos) << linux_list.out;
    EXPECT_NE(linux_list.out.find("data\\caf\xc3\xa9 \xe2\x98\x95.txt\t15\t0\n"), std::string::npos) << linux_list.out;

    const RunResult linux_verify = run_linux_packer({"--verify", dir.host("linux-" + param.output + ".bin").string()});
    const RunResult windows_verify = run_windows_packer({"--verify", dir.windows("windows-" + param.output + ".bin")});
    ASSERT_EQ(linux_verify.status, 0) << linux_verify.err;
    EXPECT_EQ(windows_verify.status, 0) << windows_verify.err;
    const std::string linux_name = dir.host("linux-" + param.output + ".bin").string();
    const std::string windows_name = dir.windows("windows-" + param.output + ".bin");
    ASSERT_TRUE(linux_verify.out.starts_with(linux_name + ": ok, ")) << linux_verify.out;
    ASSERT_TRUE(windows_verify.out.starts_with(windows_name + ": ok, ")) << windows_verify.out;
    EXPECT_EQ(windows_verify.out.substr(windows_name.size()), linux_verify.out.substr(linux_name.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SameBytes,
    ::testing::Combine(
        ::testing::Values(Target::Linux, Target::Windows),
        ::testing::Values(
            SameBytesCase{"OneFrame", {"--frames", "1"}},
            SameBytesCase{"ThreeFrames", {"--frames", "3", "--level", "12"}},
            SameBytesCase{"ThroughTheZDrive", {}, false, true},
            SameBytesCase{"NamesOutsideAscii", {}, false, false, "appli caf\xc3\xa9 \xe2\x98\x95", "\xf0\x9d\x84\x9e"},
            SameBytesCase{"LargerThanACompressionJob", {"--level", "1"}, true},
            SameBytesCase{"AnOrdinaryProgram", {}, false, false, "app", "out", true})),
    [](const auto& info) { return target_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).label; });

struct SameExecutableCase {
    const char* label;
    std::vector<std::string> options;
    bool run = false;  // also run both executables and check what the application sees
};

void PrintTo(const SameExecutableCase& param, std::ostream* out) { *out << param.label; }

class SameExecutable : public ::testing::WithParamInterface<std::tuple<Target, SameExecutableCase>>,
                       public ::testing::Test {
protected:
    void SetUp() override { skip_unless_built(std::get<0>(GetParam())); }
};

// The "hash" lines the fixture prints for the files of `app`: name, size and FNV-1a hash.
std::vector<std::string> expected_hash_lines(const fs::path& app) {
    std::vector<std::string> lines;
    for (const auto& entry : fs::recursive_directory_iterator(app)) {
        if (!entry.is_regular_file()) continue;
        const std::string content = read_file(entry.path());
        char tail[64];
        snprintf(tail, sizeof tail, " %zu %016llx", content.size(), static_cast<unsigned long long>(fnv1a(content)));
        lines.push_back(fs::relative(entry.path(), app).generic_string() + tail);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Whole executables, file times recorded (whole seconds, so that Wine sees them exactly), with the
// same output file name, which a Windows executable's version information records.
TEST_P(SameExecutable, PackedExecutablesMatchTheLinuxPackerAndRun) {
    const auto& [target, param] = GetParam();
    DriveCDir dir;
    make_application(target, dir.host("app"), false);
    const std::string main = library_name(target, "fixture_app");
    const std::string name = target == Target::Windows ? "packed.exe" : "packed";
    fs::create_directories(dir.host("l"));
    fs::create_directories(dir.host("w"));
    std::vector<std::string> common = {"--quiet", "--target", target_name(target)};
    common.insert(common.end(), param.options.begin(), param.options.end());

    std::vector<std::string> linux_args = common;
    linux_args.insert(linux_args.end(), {"-o", dir.host("l/" + name).string(), dir.host("app").string(), main});
    const RunResult linux_run = run_linux_packer(linux_args);
    ASSERT_EQ(linux_run.status, 0) << linux_run.err;
    std::vector<std::string> windows_args = common;
    windows_args.insert(windows_args.end(), {"-o", dir.windows("w\\" + name), dir.windows("app"), main});
    const RunResult windows_run = run_windows_packer(windows_args);
    ASSERT_EQ(windows_run.status, 0) << windows_run.err;

    const std::string linux_bytes = read_file(dir.host("l/" + name));
    const std::string windows_bytes = read_file(dir.host("w/" + name));
    ASSERT_GT(linux_bytes.size(), 0u);
    EXPECT_TRUE(windows_bytes == linux_bytes)
        << "onefile-pack.exe wrote " << windows_bytes.size() << " bytes, onefile-pack " << linux_bytes.size();
    // The times are in the executable, as the Linux packer read them.
    const RunResult listing = run_windows_packer({"--list", dir.windows("w\\" + name)});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_NE(listing.out.find("data\\empty\t0\t0\t"), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out, run_linux_packer({"--list", dir.host("l/" + name).string()}).out);
    if (!param.run) return;

    // The executable the Windows host wrote runs where its target runs, with every file intact.
    if (target == Target::Linux) {
        fs::permissions(dir.host("w/" + name), fs::perms(0755));
    }
    const RunResult hashes = run(target, dir.host("w/" + name), with_arguments({"hash"}));
    ASSERT_EQ(hashes.status, 0) << hashes.err;
    std::vector<std::string> printed = output_lines(hashes.out);
    printed.erase(std::remove(printed.begin(), printed.end(), std::string()), printed.end());
    EXPECT_EQ(printed, expected_hash_lines(dir.host("app")));
    const RunResult times = run(target, dir.host("w/" + name), with_arguments({"times"}));
    ASSERT_EQ(times.status, 0) << times.err;
    std::string numbers_line;
    for (const std::string& line : output_lines(times.out)) {
        if (line.starts_with("data/numbers.txt ")) numbers_line = line;
    }
    struct stat info {};
    ASSERT_EQ(stat(dir.host("app/data/numbers.txt").c_str(), &info), 0);
    EXPECT_EQ(numbers_line, "data/numbers.txt " + std::to_string(info.st_mtim.tv_sec) + ".000000000") << times.out;
}

std::string same_executable_name(const ::testing::TestParamInfo<std::tuple<Target, SameExecutableCase>>& info) {
    return target_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).label;
}

INSTANTIATE_TEST_SUITE_P(Cases, SameExecutable,
                         ::testing::Combine(::testing::Values(Target::Linux, Target::Windows),
                                            ::testing::Values(SameExecutableCase{"Plain", {}, true},
                                                              SameExecutableCase{"FramesAndCache",
                                                                                 {"--frames", "3", "--cache"}})),
                         same_executable_name);
// What only a Windows executable has: the console subsystem and version information, which records
// the output's file name.
INSTANTIATE_TEST_SUITE_P(WindowsOnly, SameExecutable,
                         ::testing::Combine(::testing::Values(Target::Windows),
                                            ::testing::Values(SameExecutableCase{
                                                "ConsoleAndVersionInformation",
                                                {"--console", "--version-info", "product=Caf\xc3\xa9", "--version-info",
                                                 "version=1.2.3"},
                                                true})),
                         same_executable_name);

// A failure names the path as given and the host's reason, in the same shape on both hosts.
TEST_P(WindowsHostedPacker, AnOutputInAMissingDirectoryFailsAlike) {
    DriveCDir dir;
    make_fixture_app(target(), dir.host("app"));
    const RunResult linux_run = run_linux_packer(
        {"--quiet", "--attached-only", dir.host("missing/out.bin").string(), dir.host("app").string(), main_binary()});
    const RunResult windows_run = run_windows_packer(
        {"--quiet", "--attached-only", dir.windows("missing\\out.bin"), dir.windows("app"), main_binary()});
    for (const auto& [result, directory] :
         {std::pair{linux_run, dir.host("missing").string()}, std::pair{windows_run, dir.windows("missing")}}) {
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        const std::string prefix = "onefile-pack: cannot create a temporary file in '" + directory + "': ";
        EXPECT_TRUE(result.err.starts_with(prefix)) << result.err;
        // One line, ending in "\n" alone, with the host's reason after the prefix.
        EXPECT_GT(result.err.size(), prefix.size() + 1) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
        EXPECT_EQ(result.err.find('\r'), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(dir.host("missing")));
}

// A main binary that is not there is named as given, on both hosts.
TEST_P(WindowsHostedPacker, AMissingMainBinaryIsNamedAsGiven) {
    DriveCDir dir;
    make_fixture_app(target(), dir.host("app"));
    const RunResult run = run_windows_packer({"--quiet", "--target", target_name(target()), "--attached-only",
                                              dir.windows("out.bin"), dir.windows("app"), "sub\\none.bin"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "onefile-pack: the main binary '" + dir.windows("app\\sub\\none.bin") + "' does not exist\n");
    EXPECT_FALSE(fs::exists(dir.host("out.bin")));
}

INSTANTIATE_TEST_SUITE_P(Targets, WindowsHostedPacker, ::testing::Values(Target::Linux, Target::Windows),
                         target_param_name);

}  // namespace
}  // namespace e2e
