// Extraction seen from outside: every file of the application arrives byte for byte where its name
// says, damaged streams and names end with their messages, and nothing is written outside the
// target directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const std::string HEADER_MESSAGE = "Error, couldn't find attached data header.";
const std::string DECODE_MESSAGE = "Error, couldn't decode attached data.";

std::string random_bytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string text_bytes(size_t size) {
    std::string text;
    for (int line = 0; text.size() < size; ++line) {
        text += "line " + std::to_string(line) + ": the quick brown fox jumps over the lazy dog\n";
    }
    text.resize(size);
    return text;
}

// What the fixture's "hash" mode prints for the files below `directory`.
std::vector<std::string> hash_lines(const fs::path& directory) {
    std::vector<std::string> lines;
    for (const auto& name : files_below(directory)) {
        const std::string content = read_file(directory / name);
        char tail[64];
        snprintf(tail, sizeof tail, " %zu %016llx", content.size(), static_cast<unsigned long long>(fnv1a(content)));
        lines.push_back(name + tail);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string hash_line(const std::string& name, const std::string& content) {
    char tail[64];
    snprintf(tail, sizeof tail, " %zu %016llx", content.size(), static_cast<unsigned long long>(fnv1a(content)));
    return name + tail;
}

class Extraction : public TargetTest {
protected:
    // Packs hand-made attached data and runs it; the directories it leaves are cleaned up by the
    // caller through `left`.
    RunResult run_attached(const std::string& attached, std::vector<fs::path>* left,
                           const std::vector<std::string>& arguments = {}) {
        const fs::path exe = scratch_ / ("app" + std::to_string(++count_) + ".exe");
        pack_raw(target(), attached, exe);
        if (HasFatalFailure()) return {};
        const auto before = target_directories(target());
        const RunResult result = run(target(), exe, with_arguments(arguments));
        *left = new_target_directories(target(), before);
        return result;
    }
    void TearDown() override {
        for (const auto& directory : cleanup_) remove_left_directory(directory);
    }
    void clean_up_later(const std::vector<fs::path>& directories) {
        cleanup_.insert(cleanup_.end(), directories.begin(), directories.end());
    }

    ScratchDir scratch_;
    int count_ = 0;
    std::vector<fs::path> cleanup_;
};

TEST_P(Extraction, EveryFileArrivesByteForByte) {
    const fs::path app = make_fixture_app(target(), scratch_ / "app");
    write_file(app / "empty.txt", "");
    write_file(app / "chunk-32768.bin", random_bytes(32768, 1));
    write_file(app / "chunk-32769.bin", random_bytes(32769, 2));
    write_file(app / "window-131073.bin", random_bytes(131073, 3));
    write_file(app / "data" / "random-3MiB.bin", random_bytes(3 * 1024 * 1024 + 7, 4));
    write_file(app / "data" / "text-2MiB.txt", text_bytes(2 * 1024 * 1024 + 3));
    write_file(app / "data" / "deep" / "er" / "still" / "leaf.txt", "leaf\n");
    write_file(app / "data" / "deep" / "empty-too.txt", "");
    write_file(app / "with space" / "na\xC3\xAFve \xE6\x97\xA5\xE6\x9C\xAC.txt", "non-ASCII name\n");
    const fs::path exe = scratch_ / "app.exe";
    ASSERT_NO_FATAL_FAILURE(pack(target(), app, library_name(target(), "fixture_app"), exe));
    const auto before = target_directories(target());

    const RunResult result = run(target(), exe, with_arguments({"hash"}));

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(output_lines(result.out), hash_lines(app));
    EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
}

TEST_P(Extraction, LaterEntryOfTheSameNameReplacesTheEarlier) {
    auto files = fixture_files(target());
    files[1].flags = 0;
    files.push_back({0, u"dup.txt", "the first, longer content of dup.txt"});
    files.push_back({FLAG_LAST, u"dup.txt", "second"});
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left, {"hash"});
    clean_up_later(left);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> expected = {
        hash_line("dup.txt", "second"),
        hash_line(library_name(target(), "fixture_app"), files[0].content),
        hash_line(library_name(target(), "fixture_helper"), files[1].content),
    };
    auto lines = output_lines(result.out);
    std::sort(lines.begin(), lines.end());
    auto sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(lines, sorted);
    EXPECT_TRUE(left.empty());
}

TEST_P(Extraction, StreamEndingEarlyFailsAfterTheEarlierFilesAreWritten) {
    auto files = fixture_files(target());
    files[1].flags = 0;
    const std::string big = random_bytes(200000, 5);
    files.push_back({FLAG_LAST, u"short.bin", big.substr(0, 150000), 200000});
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left);
    clean_up_later(left);
    expect_plain_failure(result, DECODE_MESSAGE, target());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(read_file(left[0] / library_name(target(), "fixture_app")), files[0].content);
    EXPECT_EQ(read_file(left[0] / library_name(target(), "fixture_helper")), files[1].content);
    ASSERT_TRUE(fs::exists(left[0] / "short.bin"));
    EXPECT_LE(fs::file_size(left[0] / "short.bin"), 150000u);
}

TEST_P(Extraction, EmptyStreamFailsAtTheFirstByteNeeded) {
    const std::vector<FileSpec> files = {{0, u"empty-first.txt", ""}, {FLAG_LAST, u"needs-bytes.txt", "x"}};
    const std::string table = file_table(files);
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_bytes(table.size(), 0, table, ""), &left);
    clean_up_later(left);
    expect_plain_failure(result, DECODE_MESSAGE, target());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(files_below(left[0]), (std::vector<std::string>{"empty-first.txt", "needs-bytes.txt"}));
}

TEST_P(Extraction, CorruptStreamFailsAndKeepsWhatWasCompleted) {
    auto files = fixture_files(target());
    files[1].flags = 0;
    files.push_back({FLAG_LAST, u"after.bin", random_bytes(1000, 6)});
    const std::string table = file_table(files);
    // A sound frame for the first two files, then bytes that are no frame at all.
    const std::string stream = compress(files[0].content + files[1].content) + "this is not a Zstandard frame";
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_bytes(table.size(), stream.size(), table, stream), &left);
    clean_up_later(left);
    expect_plain_failure(result, DECODE_MESSAGE, target());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(read_file(left[0] / library_name(target(), "fixture_app")), files[0].content);
    EXPECT_EQ(read_file(left[0] / library_name(target(), "fixture_helper")), files[1].content);
}

TEST_P(Extraction, StreamWithABrokenMagicNumberFailsAtOnce) {
    const std::vector<FileSpec> files = {{FLAG_LAST, u"main.bin", "content"}};
    const std::string table = file_table(files);
    std::string stream = compress(files[0].content);
    stream[0] = static_cast<char>(stream[0] ^ 0x5A);
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_bytes(table.size(), stream.size(), table, stream), &left);
    clean_up_later(left);
    expect_plain_failure(result, DECODE_MESSAGE, target());
}

TEST_P(Extraction, LinkEntryAsMainBinaryIsRefusedBeforeAnythingIsCreated) {
    const std::vector<FileSpec> files = {{FLAG_LINK | FLAG_LAST, u"main.bin", "", std::nullopt, u"elsewhere"}};
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left);
    clean_up_later(left);
    expect_plain_failure(result, HEADER_MESSAGE, target());
    EXPECT_TRUE(left.empty());
}

TEST_P(Extraction, LinkEntryLaterIsRefusedAndNothingIsCreatedForIt) {
    const std::vector<FileSpec> files = {
        {0, u"main.bin", "main"},
        {FLAG_LINK, u"sub\\link", "", std::nullopt, u"main.bin"},
        {FLAG_LAST, u"after.txt", "after"},
    };
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left);
    clean_up_later(left);
    expect_plain_failure(result, HEADER_MESSAGE, target());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(files_below(left[0]), std::vector<std::string>{"main.bin"});
    EXPECT_FALSE(fs::exists(left[0] / "sub"));
}

// Names that would leave the target directory, each after a sound first entry.
TEST_P(Extraction, NamesLeavingTheTargetDirectoryAreRefusedBeforeAnythingIsCreatedForThem) {
    const std::vector<std::u16string> names = {
        u"..\\escaped.txt", u"a\\..\\..\\escaped.txt", u"..", u"a\\..", u"\\escaped.txt",
        u"/escaped.txt",    u"C:escaped.txt",          u"C:\\escaped.txt", u"../escaped.txt",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        const std::vector<FileSpec> files = {{0, u"main.bin", "main"}, {FLAG_LAST, name, "escaped"}};
        std::vector<fs::path> left;
        const RunResult result = run_attached(attached_for(files), &left);
        clean_up_later(left);
        expect_plain_failure(result, HEADER_MESSAGE, target());
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(files_below(left[0]), std::vector<std::string>{"main.bin"});
        EXPECT_FALSE(fs::exists(left[0].parent_path() / "escaped.txt"));
        EXPECT_FALSE(fs::exists(left[0].parent_path().parent_path() / "escaped.txt"));
    }
}

TEST_P(Extraction, NameAsTheFirstEntryLeavingTheTargetDirectoryCreatesNothing) {
    const std::vector<FileSpec> files = {{FLAG_LAST, u"..\\escaped.txt", "escaped"}};
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left);
    clean_up_later(left);
    EXPECT_EQ(result.out, HEADER_MESSAGE + eol(target()));
    EXPECT_EQ(result.status, 2);
    EXPECT_TRUE(left.empty());
    EXPECT_FALSE(fs::exists(launcher_temp_dir(target()) / "escaped.txt"));
}

// The open failure names the full path the launcher composed; it must map to the file in the
// directory that was left.
void expect_open_error(Target target, const RunResult& result, const fs::path& expected_file) {
    const std::string prefix = "Error, failed to open '";
    const std::string suffix = "' for writing." + eol(target);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 2);
    ASSERT_GT(result.err.size(), prefix.size() + suffix.size()) << result.err;
    ASSERT_EQ(result.err.substr(0, prefix.size()), prefix) << result.err;
    ASSERT_EQ(result.err.substr(result.err.size() - suffix.size()), suffix) << result.err;
    const std::string printed = result.err.substr(prefix.size(), result.err.size() - prefix.size() - suffix.size());
    EXPECT_EQ(host_path(target, printed), expected_file) << printed;
}

TEST_P(Extraction, FileWhereADirectoryStandsCannotBeOpened) {
    const std::vector<FileSpec> files = {
        {0, u"main.bin", "main"}, {0, u"a\\b.txt", "b"}, {FLAG_LAST, u"a", "a file where a directory is"}};
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left);
    clean_up_later(left);
    ASSERT_EQ(left.size(), 1u);
    expect_open_error(target(), result, left[0] / "a");
    EXPECT_EQ(read_file(left[0] / "a" / "b.txt"), "b");
}

TEST_P(Extraction, FileBelowAFileCannotBeOpened) {
    const std::vector<FileSpec> files = {{0, u"main.bin", "main"}, {0, u"a", "a file"}, {FLAG_LAST, u"a\\b.txt", "b"}};
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left);
    clean_up_later(left);
    ASSERT_EQ(left.size(), 1u);
    expect_open_error(target(), result, left[0] / "a" / "b.txt");
    EXPECT_EQ(read_file(left[0] / "a"), "a file");
}

// The packer always writes a main binary; without one the parent extracts nothing and starts the
// child, which has nothing to run and says so.
TEST_P(Extraction, EmptyFileTableRunsAChildThatFindsNoMainBinary) {
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_bytes(0, 0, "", ""), &left);
    clean_up_later(left);
    expect_plain_failure(result, HEADER_MESSAGE, target());
    EXPECT_TRUE(left.empty());
}

TEST_P(Extraction, LongNameWithinThePathLimitIsExtracted) {
    // Components of 100 units keep every one of them within the file system's name limit; the
    // whole name is far beyond the 260 units of old Windows paths.
    std::string name;
    for (int i = 0; i < 8; ++i) name += std::string(100, static_cast<char>('a' + i)) + "\\";
    name += "leaf.txt";
    auto files = fixture_files(target());
    files[1].flags = 0;
    files.push_back({FLAG_LAST, utf16(name), "deep"});
    const fs::path exe = scratch_ / "long.exe";
    ASSERT_NO_FATAL_FAILURE(pack_raw(target(), attached_for(files), exe));

    // Looked at from outside while the application waits: its own directory walk need not cope
    // with such paths.
    RunOptions options = with_arguments({"env-wait"});
    options.keep_stdin_open = true;
    auto launcher = start(target(), exe, options);
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(launcher->wait_for_stdout("waiting", 30000)) << launcher->out_so_far();
    const fs::path directory = host_path(target(), key_values(launcher->out_so_far())["main"]).parent_path();
    std::string generic = name;
    std::replace(generic.begin(), generic.end(), '\\', '/');
    EXPECT_EQ(read_file(directory / generic), "deep");
    launcher->close_stdin();
    const RunResult result = launcher->finish(30000);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fs::exists(directory));
}

// A name of many components: every level is created on the way down and removed again at the
// end. Wine resolves every one of these long paths component by component, so its tree is kept
// shallower (still far beyond 260 units).
TEST_P(Extraction, DeepTreeIsCreatedAndRemoved) {
    const int depth = target() == Target::Linux ? 2000 : 150;
    std::string name;
    for (int i = 0; i < depth; ++i) name += "d\\";
    name += "f";
    auto files = fixture_files(target());
    files[1].flags = 0;
    files.push_back({FLAG_LAST, utf16(name), "bottom"});
    std::vector<fs::path> left;
    const RunResult result = run_attached(attached_for(files), &left, {"exit", "6"});
    clean_up_later(left);
    EXPECT_EQ(result.status, 6) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_TRUE(left.empty());
}

INSTANTIATE_TEST_SUITE_P(Targets, Extraction, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

// Linux keeps everything it unpacks private to the user, and executable only where the packer
// marked a file so.
TEST(LinuxExtraction, TargetDirectoryAndFilesArePrivateToTheUser) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    ScratchDir scratch;
    const fs::path app = make_fixture_app(Target::Linux, scratch / "app");
    write_file(app / "data" / "notes.txt", "notes\n");
    write_file(app / "tool.sh", "#!/bin/sh\n");
    fs::permissions(app / "data" / "notes.txt", fs::perms(0644));
    fs::permissions(app / "tool.sh", fs::perms(0755));
    fs::permissions(app / "fixture_app.so", fs::perms(0755));
    fs::permissions(app / "fixture_helper.so", fs::perms(0644));
    const fs::path exe = scratch / "app.exe";
    ASSERT_NO_FATAL_FAILURE(pack(Target::Linux, app, "fixture_app.so", exe));
    const mode_t old_mask = umask(0);  // nothing hidden by the mask: the launcher's own modes show
    const RunResult result = run(Target::Linux, exe, with_arguments({"modes"}));
    umask(old_mask);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> expected = {
        ". 700", "data 700", "data/notes.txt 600", "fixture_app.so 700", "fixture_helper.so 600", "tool.sh 700",
    };
    EXPECT_EQ(output_lines(result.out), expected);
}

TEST(LinuxExtraction, TemporaryDirectoryWithBlanksAndNonAsciiLetters) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    ScratchDir scratch;
    const fs::path temp = scratch / "temp dir \xC3\xA9\xE6\x97\xA5";
    fs::create_directories(temp);
    RunOptions options = with_arguments({"env"});
    options.environment["TMPDIR"] = temp.string();
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    EXPECT_EQ(result.status, 0) << result.err;
    const fs::path main = key_values(result.out)["main"];
    EXPECT_EQ(main.parent_path().parent_path(), temp);
    EXPECT_EQ(main.filename().string(), "fixture_app.so");
    EXPECT_TRUE(fs::is_empty(temp));
}

}  // namespace
}  // namespace e2e
