// onefile-pack as a command-line tool: help and version, --list and --verify output, exit
// statuses, and the progress line (shown only on a terminal, not with --quiet, only after the delay,
// redrawn at most four times a second, cleared at the end).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "binary_images.h"
#include "cli.h"
#include "kit.h"
#include "pack_test_support.h"
#include "progress.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using onefile::pack::CliTerminal;
using onefile::pack::ProgressLine;
using onefile::pack::ProgressPhase;

namespace {

using pack_test::random_bytes;
using pack_test::read;
using pack_test::ScopedEnvironment;
using pack_test::TempDir;
using pack_test::write;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result run(const std::vector<std::string>& args, const CliTerminal& terminal = {}) {
    std::ostringstream out, err;
    const int status = onefile::pack::run_cli(args, out, err, terminal);
    return {status, out.str(), err.str()};
}

std::set<fs::path> listing(const fs::path& dir) {
    std::set<fs::path> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) names.insert(entry.path());
    return names;
}

class PackerCli : public ::testing::Test {
protected:
    void SetUp() override {
        // A main binary the packer accepts, for Linux.
        write(dir_ / "app" / "main.bin", pack_test::main_binary_image("linux", 3000, 1));
        write(dir_ / "app" / "data" / "b.txt", std::string(5000, 'b'));
        write(dir_ / "app" / "a.txt", "a");
        chmod((dir_ / "app" / "main.bin").c_str(), 0755);
        chmod((dir_ / "app" / "a.txt").c_str(), 0644);
        chmod((dir_ / "app" / "data" / "b.txt").c_str(), 0644);
    }
    fs::path attached_only(const std::string& name, const std::vector<std::string>& extra = {}) {
        const fs::path output = dir_ / name;
        std::vector<std::string> args = extra;
        for (const std::string& arg : {std::string("--quiet"), std::string("--attached-only"), output.string(),
                                       (dir_ / "app").string(), std::string("main.bin")}) {
            args.push_back(arg);
        }
        const Result result = run(args);
        EXPECT_EQ(result.status, 0) << result.err;
        return output;
    }
    TempDir dir_;
};

TEST_F(PackerCli, HelpNamesEveryModeAndTheExitStatuses) {
    const Result result = run({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    for (const char* text :
         {"usage: onefile-pack", "--list FILE", "--verify FILE", "--quiet", "--version", "--target", "--level", "--kit",
          "--no-times", "SOURCE_DATE_EPOCH", "<tab>TIME", "--exec APP_DIR PROGRAM", "status 127",
          "--icon FILE.ico", "--version-info KEY=VALUE", "--console",
          "Exit status: 0 success, 1 usage error, 2 failure."}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(run({"-h"}).out, result.out);
}

TEST_F(PackerCli, VersionIsOneLine) {
    const Result result = run({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.starts_with("onefile-pack "));
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1);
}

TEST_F(PackerCli, ListShowsNamesSizesAndFlagsMainBinaryFirst) {
    const fs::path attached = attached_only("app.bin");
    const Result result = run({"--list", attached.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    // Executable files carry flag 1, the last entry flag 4; names use backslashes.
    EXPECT_EQ(result.out, "main.bin\t3000\t1\na.txt\t1\t0\ndata\\b.txt\t5000\t4\n");
    EXPECT_EQ(result.err, "");
}

void set_modification_time(const fs::path& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST_F(PackerCli, ListShowsTheTimesAnExecutableRecords) {
    ScopedEnvironment no_epoch("SOURCE_DATE_EPOCH", std::nullopt);
    set_modification_time(dir_ / "app" / "main.bin", 1796772885, 123456789);
    set_modification_time(dir_ / "app" / "a.txt", -86400L * 365 * 10, 500000000);
    set_modification_time(dir_ / "app" / "data" / "b.txt", 1700000000, 0);
    const std::string app = (dir_ / "app").string();
    ASSERT_EQ(run({"--quiet", "--target", "linux", "-o", (dir_ / "timed").string(), app, "main.bin"}).status, 0);
    ASSERT_EQ(
        run({"--quiet", "--target", "linux", "--no-times", "-o", (dir_ / "untimed").string(), app, "main.bin"}).status,
        0);

    Result result = run({"--list", (dir_ / "timed").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "main.bin\t3000\t1\t2026-12-08T23:34:45.123456700Z\n"
              "a.txt\t1\t0\t1960-01-04T00:00:00.500000000Z\n"
              "data\\b.txt\t5000\t4\t2023-11-14T22:13:20Z\n");
    result = run({"--verify", (dir_ / "timed").string()});
    EXPECT_TRUE(result.out.ends_with(" in 1 frame, content checksum matches, file times recorded\n")) << result.out;

    // Without the record, the listing is what it always was.
    result = run({"--list", (dir_ / "untimed").string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "main.bin\t3000\t1\na.txt\t1\t0\ndata\\b.txt\t5000\t4\n");
    result = run({"--verify", (dir_ / "untimed").string()});
    EXPECT_TRUE(result.out.ends_with(" in 1 frame, content checksum matches\n")) << result.out;
}

TEST_F(PackerCli, NoTimesIsForPackingOnly) {
    const std::string app = (dir_ / "app").string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--no-times", "--list", "x"},
          {"--no-times", "--verify", "x"},
          {"--no-times", "--attached-only", (dir_ / "x").string(), app, "main.bin"},
          {"--no-times", "--raw-attached", "x", "-o", (dir_ / "y").string()}}) {
        const Result result = run(args);
        EXPECT_EQ(result.status, 1) << args[1];
        EXPECT_TRUE(result.err.starts_with("onefile-pack: --no-times is not used with " + args[1] + " ")) << result.err;
    }
    EXPECT_EQ(run({"--no-times=yes", "-o", (dir_ / "x").string(), app, "main.bin"}).status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "x"));
    EXPECT_FALSE(fs::exists(dir_ / "y"));
}

TEST_F(PackerCli, VerifyChecksWithoutWriting) {
    const fs::path attached = attached_only("app.bin");
    const std::set<fs::path> before = listing(dir_ / ".");
    const std::string bytes = read(attached);

    const Result result = run({"--verify", attached.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(": ok, 3 files, 8001 bytes"), std::string::npos) << result.out;
    // The packer ends its frame in the content checksum, and --verify checks it.
    EXPECT_TRUE(result.out.ends_with(" bytes in 1 frame, content checksum matches\n")) << result.out;
    EXPECT_EQ(run({"--quiet", "--verify", attached.string()}).out, "");
    EXPECT_EQ(listing(dir_ / "."), before);
    EXPECT_EQ(read(attached), bytes);

    // A byte missing from the compressed stream: failure, status 2, one line on standard error.
    std::string damaged = bytes;
    damaged.erase(damaged.size() - 20, 1);
    write(dir_ / "damaged.bin", damaged);
    const Result bad = run({"--quiet", "--verify", (dir_ / "damaged.bin").string()});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_TRUE(bad.err.starts_with("onefile-pack: ")) << bad.err;

    // A changed byte that still decodes (main.bin's bytes do not compress and are stored as they
    // are): only the checksum notices, and the message names the files it covers.
    std::string changed = bytes;
    const std::size_t stored = changed.size() - 9 - 4 - 100;  // before the checksum and the trailing bytes
    changed[stored] = static_cast<char>(changed[stored] ^ 0x40);
    write(dir_ / "changed.bin", changed);
    const Result checksum = run({"--verify", (dir_ / "changed.bin").string()});
    EXPECT_EQ(checksum.status, 2);
    EXPECT_EQ(checksum.err,
              "onefile-pack: the content checksum does not match: the bytes of one or more files from 'main.bin' to "
              "'data\\b.txt' are damaged (or the checksum itself is)\n");
}

TEST_F(PackerCli, ExitStatusesAreZeroOneTwo) {
    EXPECT_EQ(run({"--list"}).status, 1);
    EXPECT_EQ(run({"--bogus"}).status, 1);
    EXPECT_EQ(run({"--list", "x", "--verify", "y"}).status, 1);
    const Result usage = run({"-o", "out"});
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.err.find("(see onefile-pack --help)"), std::string::npos) << usage.err;
    EXPECT_EQ(run({"--list", (dir_ / "missing").string()}).status, 2);
    EXPECT_EQ(run({"--attached-only", (dir_ / "x").string(), (dir_ / "app").string(), "absent.bin"}).status, 2);
    EXPECT_FALSE(fs::exists(dir_ / "x"));
}

TEST_F(PackerCli, SameInputsGiveTheSameBytes) {
    EXPECT_EQ(read(attached_only("one.bin")), read(attached_only("two.bin")));
    // Neither file times nor where the application directory lies go into the output.
    const fs::path first = attached_only("three.bin");
    fs::copy(dir_ / "app", dir_ / "copy", fs::copy_options::recursive);
    fs::last_write_time(dir_ / "copy" / "a.txt", fs::file_time_type::clock::now() - 1000h);
    const Result result =
        run({"--quiet", "--attached-only", (dir_ / "four.bin").string(), (dir_ / "copy").string(), "main.bin"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read(dir_ / "four.bin"), read(first));
}

// --- the progress line -----------------------------------------------------------------------------

TEST(ProgressText, ShowsPercentAndMebibytes) {
    EXPECT_EQ(onefile::pack::progress_text(ProgressPhase::Compressing, 3 << 20, 12 << 20),
              "onefile-pack: compressing  25% (3.0 of 12.0 MiB)");
    EXPECT_EQ(onefile::pack::progress_text(ProgressPhase::Compressing, 20, 10),
              "onefile-pack: compressing 100% (0.0 of 0.0 MiB)");
    EXPECT_EQ(onefile::pack::progress_text(ProgressPhase::Compressing, 0, 0), "onefile-pack: compressing");
    EXPECT_EQ(onefile::pack::progress_text(ProgressPhase::Writing, 5, 10), "onefile-pack: writing the executable");
}

TEST(ProgressLine, WaitsForTheDelayThenRedrawsAtMostEveryInterval) {
    std::ostringstream out;
    const auto start = ProgressLine::Clock::time_point{} + 10s;
    ProgressLine line(out, {1000ms, 250ms}, start);
    line.update(1 << 20, 4 << 20);
    EXPECT_FALSE(line.tick(start));
    EXPECT_FALSE(line.tick(start + 999ms));
    EXPECT_EQ(out.str(), "");

    EXPECT_TRUE(line.tick(start + 1000ms));
    EXPECT_EQ(out.str(), "\ronefile-pack: compressing  25% (1.0 of 4.0 MiB)");

    line.update(2 << 20, 4 << 20);
    EXPECT_FALSE(line.tick(start + 1249ms));  // too soon
    EXPECT_TRUE(line.tick(start + 1250ms));
    EXPECT_FALSE(line.tick(start + 2000ms));  // nothing changed: nothing written

    // A shorter text is padded over the longer one; the end clears the line.
    line.set_phase(ProgressPhase::Writing);
    out.str("");
    EXPECT_TRUE(line.tick(start + 2500ms));
    const std::string longer = "onefile-pack: compressing  50% (2.0 of 4.0 MiB)";
    const std::string writing = "onefile-pack: writing the executable";
    EXPECT_EQ(out.str(), "\r" + writing + std::string(longer.size() - writing.size(), ' '));
    out.str("");
    line.finish();
    EXPECT_EQ(out.str(), "\r" + std::string(writing.size(), ' ') + "\r");
    EXPECT_FALSE(line.drawn());
}

TEST(ProgressLine, WritesNothingWhenItNeverDrew) {
    std::ostringstream out;
    const auto start = ProgressLine::Clock::now();
    ProgressLine line(out, {}, start);
    line.update(1, 2);
    EXPECT_FALSE(line.tick(start + 500ms));
    line.finish();
    EXPECT_EQ(out.str(), "");
}

class PackerProgress : public PackerCli {
protected:
    std::vector<std::string> pack_args(const std::string& name, bool quiet) {
        std::vector<std::string> args{
            "--target", "linux", "--level", "1", "-o", (dir_ / name).string(), (dir_ / "app").string(), "main.bin"};
        if (quiet) args.insert(args.begin(), "--quiet");
        return args;
    }
};

TEST_F(PackerProgress, TerminalShowsALineAndClearsIt) {
    const Result result = run(pack_args("packed", false), CliTerminal{true, 0ms});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.starts_with("\ronefile-pack: compressing")) << result.err;
    // Only carriage returns, no newline: the line is redrawn in place and blanked at the end.
    EXPECT_EQ(result.err.find('\n'), std::string::npos) << result.err;
    const std::size_t last = result.err.rfind('\r', result.err.size() - 2);
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(result.err.back(), '\r');
    EXPECT_EQ(result.err.substr(last + 1, result.err.size() - last - 2).find_first_not_of(' '), std::string::npos)
        << result.err;
    // The summary still goes to standard output.
    EXPECT_NE(result.out.find("3 files"), std::string::npos) << result.out;
}

TEST_F(PackerProgress, RawAttachedDataShowsOnlyTheWritingLine) {
    const fs::path attached = attached_only("app.bin");
    const Result result =
        run({"--target", "linux", "--raw-attached", attached.string(), "-o", (dir_ / "linked").string()},
            CliTerminal{true, 0ms});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.starts_with("\ronefile-pack: writing the executable")) << result.err;
    EXPECT_EQ(result.err.find("compressing"), std::string::npos) << result.err;
}

TEST_F(PackerProgress, QuietOrNotATerminalOrQuickMeansNoLine) {
    const Result quiet = run(pack_args("one", true), CliTerminal{true, 0ms});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(quiet.out, "");

    const Result piped = run(pack_args("two", false), CliTerminal{false, 0ms});
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.err, "");

    // A pack that takes less than the (default) second shows nothing.
    const Result quick = run(pack_args("three", false), CliTerminal{true});
    EXPECT_EQ(quick.status, 0) << quick.err;
    EXPECT_EQ(quick.err, "");

    // The line does not change what is written.
    EXPECT_EQ(read(dir_ / "one"), read(dir_ / "two"));
    EXPECT_EQ(read(dir_ / "two"), read(dir_ / "three"));
}

TEST_F(PackerProgress, AFailureClearsTheLineBeforeTheMessage) {
    const Result result = run({"--target", "linux", "-o", (dir_ / "x").string(), (dir_ / "app").string(), "absent.bin"},
                              CliTerminal{true, 0ms});
    EXPECT_EQ(result.status, 2);
    const std::size_t message = result.err.find("onefile-pack: ", result.err.rfind('\r') + 1);
    ASSERT_NE(message, std::string::npos) << result.err;
    EXPECT_EQ(result.err.substr(message).find('\r'), std::string::npos);
    EXPECT_EQ(result.err.back(), '\n');
}

}  // namespace
