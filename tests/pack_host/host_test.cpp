// What every host must do alike behind tools/pack/host.h: names of any script, modification times,
// files that appear only when finished, scratch files that vanish, and failures that say the path
// is missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "errors.h"
#include "file_io.h"
#include "host.h"
#include "host_support.h"

namespace {

namespace fs = std::filesystem;
using host_test::read_through_host;
using host_test::write_through_host;
using namespace onefile::pack;

std::vector<std::string> names_in(const fs::path& dir) {
    HostDirectory directory;
    FileStatus status;
    EXPECT_TRUE(host_open_directory(nullptr, dir, false, directory, status)) << path_to_utf8(dir);
    EXPECT_EQ(status.kind, FileKind::Directory);
    std::vector<std::string> names;
    EXPECT_TRUE(host_list_directory(directory, names));
    std::sort(names.begin(), names.end());
    return names;
}

class HostNames : public ::testing::TestWithParam<const char*> {};

// A name from the command line (UTF-8) names the same file when written, listed and read back.
TEST_P(HostNames, RoundTripThroughTheFileSystem) {
    const std::string name = GetParam();
    EXPECT_EQ(path_to_utf8(path_from_utf8(name)), name);
    const TempDir dir;
    write_through_host(dir.path() / path_from_utf8(name), "contents of " + name);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{name});
    EXPECT_EQ(read_through_host(dir.path() / path_from_utf8(name)), "contents of " + name);
    FileStatus status;
    ASSERT_TRUE(host_status_at(
        [&] {
            HostDirectory directory;
            FileStatus ignored;
            EXPECT_TRUE(host_open_directory(nullptr, dir.path(), false, directory, ignored));
            return directory;
        }(),
        name, status));
    EXPECT_EQ(status.kind, FileKind::Regular);
    EXPECT_EQ(status.size, ("contents of " + name).size());
}

INSTANTIATE_TEST_SUITE_P(Names, HostNames,
                         ::testing::Values("plain.txt", "caf\xc3\xa9 \xe2\x98\x95.txt", "\xe6\x97\xa5\xe6\x9c\xac",
                                           "\xf0\x9d\x84\x9e clef"));

struct TimeCase {
    const char* label;
    FileTime time;
};

class HostTimes : public ::testing::TestWithParam<TimeCase> {};

// Times that both hosts keep exactly: whole seconds, multiples of 100 ns, before 1970.
TEST_P(HostTimes, ASetTimeReadsBackTheSame) {
    const TempDir dir;
    const fs::path path = dir.path() / "timed";
    UniqueFd fd(host_create_new(path, false));
    ASSERT_TRUE(fd);
    ASSERT_TRUE(host_set_modified(fd.get(), GetParam().time));
    FileStatus by_handle;
    ASSERT_TRUE(host_file_status(fd.get(), by_handle));
    EXPECT_EQ(by_handle.modified, GetParam().time);
    fd.close_checked(path);
    FileStatus by_name;
    ASSERT_TRUE(host_status(path, true, by_name));
    EXPECT_EQ(by_name.modified, GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(Times, HostTimes,
                         ::testing::Values(TimeCase{"WholeSeconds", {1700000000, 0}},
                                           TimeCase{"HundredNanoseconds", {1700000000, 123456700}},
                                           TimeCase{"Before1970", {-157766400, 500000000}}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(HostFiles, APendingFileReplacesItsTargetOnlyWhenCommitted) {
    const TempDir dir;
    const fs::path target = dir.path() / "out.bin";
    write_through_host(target, "old");
    {
        PendingFile pending(target);
        write_all(pending.fd(), "new", 3, target);
        EXPECT_EQ(read_through_host(target), "old");
        EXPECT_EQ(names_in(dir.path()).size(), 2u);
        pending.commit(0644);
    }
    EXPECT_EQ(read_through_host(target), "new");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"out.bin"});
    {
        PendingFile abandoned(target);
        write_all(abandoned.fd(), "lost", 4, target);
    }
    // Without the commit the temporary file goes, and the target stays as it was.
    EXPECT_EQ(read_through_host(target), "new");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"out.bin"});
}

TEST(HostFiles, AnAnonymousScratchFileVanishesWithItsHandle) {
    const TempDir dir;
    {
        UniqueFd scratch = create_anonymous_temp_file(dir.path());
        write_all(scratch.get(), "scratch", 7, dir.path());
        ASSERT_TRUE(host_seek(scratch.get(), 0));
        char back[7] = {};
        EXPECT_EQ(read_some(scratch.get(), back, sizeof back, dir.path()), 7u);
        EXPECT_EQ(std::string(back, 7), "scratch");
    }
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{});
}

TEST(HostFiles, ATemporaryDirectoryGoesWithEverythingInIt) {
    fs::path where;
    {
        const TempDir dir;
        where = dir.path();
        write_through_host(dir.path() / "inside", "x");
        FileStatus status;
        ASSERT_TRUE(host_status(where, true, status));
        EXPECT_EQ(status.kind, FileKind::Directory);
    }
    FileStatus status;
    EXPECT_FALSE(host_status(where, true, status));
    EXPECT_TRUE(host_error_is_not_found(host_last_error()));
}

// The executable writer seeks past the end and fills the start in later.
TEST(HostFiles, AWritePastTheEndLeavesZerosBefore) {
    const TempDir dir;
    const fs::path path = dir.path() / "holey";
    UniqueFd fd(host_create_new(path, false));
    ASSERT_TRUE(fd);
    seek_to(fd.get(), 10, path);
    write_all(fd.get(), "x", 1, path);
    seek_to(fd.get(), 2, path);
    write_all(fd.get(), "ab", 2, path);
    fd.close_checked(path);
    EXPECT_EQ(read_through_host(path), std::string("\0\0ab\0\0\0\0\0\0x", 11));
}

// As on POSIX, a file that another handle is writing can be read (the packer then notices a change
// by its size and time).
TEST(HostFiles, AFileOpenForWritingCanBeRead) {
    const TempDir dir;
    const fs::path path = dir.path() / "growing.log";
    UniqueFd writer(host_create_new(path, false));
    ASSERT_TRUE(writer);
    write_all(writer.get(), "abc", 3, path);
    EXPECT_EQ(read_through_host(path), "abc");
}

TEST(HostFiles, ACreatedFileIsNeverOverwritten) {
    const TempDir dir;
    write_through_host(dir.path() / "once", "first");
    EXPECT_EQ(host_create_new(dir.path() / "once", false), NO_FILE);
    EXPECT_EQ(read_through_host(dir.path() / "once"), "first");
}

struct MissingCase {
    const char* label;
    const char* relative;
};

class HostMissing : public ::testing::TestWithParam<MissingCase> {};

// A missing file, or a missing directory on the way to it, is told apart from other failures:
// the packer says "does not exist" for it.
TEST_P(HostMissing, IsReportedAsNotFound) {
    const TempDir dir;
    const fs::path path = dir.path() / path_from_utf8(GetParam().relative);
    FileStatus status;
    EXPECT_FALSE(host_status(path, false, status));
    EXPECT_TRUE(host_error_is_not_found(host_last_error()));
    EXPECT_EQ(host_open_read(path, true), NO_FILE);
    EXPECT_TRUE(host_error_is_not_found(host_last_error()));
    fs::path real;
    EXPECT_FALSE(host_real_path(path, real));
    EXPECT_TRUE(host_error_is_not_found(host_last_error()));
}

INSTANTIATE_TEST_SUITE_P(Paths, HostMissing,
                         ::testing::Values(MissingCase{"File", "missing.txt"},
                                           MissingCase{"DirectoryOnTheWay", "missing/file.txt"}),
                         [](const auto& info) { return std::string(info.param.label); });

// What the user sees: the action, the path as given and the host's reason, one line.
TEST(HostErrors, AnOutputInAMissingDirectoryNamesItAndTheReason) {
    const TempDir dir;
    const fs::path missing = dir.path() / "missing";
    try {
        PendingFile pending(missing / "out.bin");
        FAIL() << "a pending file was created in a missing directory";
    } catch (const PackError& error) {
        const std::string prefix = "cannot create a temporary file in '" + path_to_utf8(missing) + "': ";
        const std::string message = error.what();
        ASSERT_TRUE(message.starts_with(prefix)) << message;
        const std::string reason = message.substr(prefix.size());
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos) << message;
        EXPECT_NE(reason.back(), '.') << message;
    }
}

TEST(HostPaths, TheRealPathOfADirectoryIsAbsoluteAndStable) {
    const TempDir dir;
    fs::path real;
    ASSERT_TRUE(host_real_path(dir.path(), real));
    EXPECT_TRUE(real.is_absolute()) << path_to_utf8(real);
    // No \\?\ prefix: the plain form is what the walk compares with the paths it builds.
    EXPECT_FALSE(path_to_utf8(real).starts_with("\\\\?\\")) << path_to_utf8(real);
    fs::path again;
    ASSERT_TRUE(host_real_path(real, again));
    EXPECT_EQ(again, real);
}

TEST(HostPaths, TheRunningExecutableIsThisTest) {
    fs::path exe;
    ASSERT_TRUE(host_executable_path(exe));
    EXPECT_TRUE(exe.is_absolute());
    EXPECT_TRUE(path_to_utf8(exe.filename()).starts_with("onefile_pack_host_tests")) << path_to_utf8(exe);
    FileStatus status;
    ASSERT_TRUE(host_status(exe, true, status));
    EXPECT_EQ(status.kind, FileKind::Regular);
}

}  // namespace
