// Cached extraction through the real launcher: a first start publishes the application's entry in
// the user's cache and a later start runs from it in the same process; twenty first starts at
// once leave one entry; a damaged entry is replaced, a planted one refused; a cache that cannot be
// used falls back to the ordinary temporary directory; other versions unused for thirty days go.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const char WARNING_PREFIX[] = "Warning, ";

// Makes a directory look unused for `seconds`.
void age(const fs::path& path, long long seconds) {
    timespec times[2];
    times[0].tv_sec = time(nullptr) - seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class Cache : public TargetTest {
protected:
    void SetUp() override {
        TargetTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        app_ = make_fixture_app(target(), scratch_ / "app");
        write_file(app_ / "data" / "sub" / "note.txt", "a note in a subdirectory\n");
        // Packed with times well in the past, so that a file changed now shows by its time.
        for (const auto& file : fs::recursive_directory_iterator(app_)) {
            if (file.is_regular_file()) age(file.path(), 3600);
        }
        // A name of this test's own: on Windows the cache is the Wine user's, shared by every test.
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = "cached-" + std::to_string(std::hash<std::string>()(info->name()) % 100000) + "-" +
                                 std::to_string(getpid());
        executable_ = scratch_ / (target() == Target::Windows ? name + ".exe" : name);
        pack(target(), app_, library_name(target(), "fixture_app"), executable_, {"--cache"});
        // The entry's name, as the packer tells it.
        const RunResult listed = run_packer({"--list", executable_.string()});
        ASSERT_EQ(listed.status, 0) << listed.err;
        const std::string marker = "~/.cache/onefile/";
        const size_t at = listed.err.find(marker);
        ASSERT_NE(at, std::string::npos) << listed.err;
        entry_name_ = listed.err.substr(at + marker.size(), listed.err.find(';', at) - at - marker.size());
        ASSERT_EQ(entry_name_.rfind(name + "-", 0), 0u) << entry_name_;
        root_ = cache_root();
        before_ = target_directories(target());
    }
    void TearDown() override {
        if (target() == Target::Windows && !entry_name_.empty()) {
            remove_left_directory(root_ / entry_name_);
            std::error_code error;
            for (const auto& left : fs::directory_iterator(root_, error)) {
                if (left.path().filename().string().find(entry_name_) != std::string::npos) {
                    remove_left_directory(left.path());
                }
            }
        }
    }

    fs::path cache_root() const {
        if (target() == Target::Linux) return scratch_ / "xdg" / "onefile";
        return launcher_temp_dir(target()).parent_path() / "AppData" / "Local" / "onefile";
    }
    RunOptions options(std::vector<std::string> arguments) const {
        RunOptions run_options = with_arguments(std::move(arguments));
        run_options.environment["XDG_CACHE_HOME"] = (scratch_ / "xdg").string();
        return run_options;
    }
    RunResult start_once(std::vector<std::string> arguments) const {
        return run(target(), executable_, options(std::move(arguments)));
    }
    fs::path entry() const { return root_ / entry_name_; }
    // Names in the cache root that belong to this executable's entries or staging directories.
    std::vector<std::string> own_names() const {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& found : fs::directory_iterator(root_, error)) {
            const std::string name = found.path().filename().string();
            if (name.find(entry_name_.substr(0, entry_name_.size() - 17)) != std::string::npos) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // The "hash" lines of the fixture: every unpacked file with its size and hash.
    std::string hashes() const {
        const RunResult result = start_once({"hash"});
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }

    ScratchDir scratch_;
    fs::path app_;
    fs::path executable_;
    std::string entry_name_;
    fs::path root_;
    std::vector<fs::path> before_;
};

TEST_P(Cache, FirstStartPublishesTheEntryAndLaterStartsRunFromItInTheSameProcess) {
    const RunResult first = start_once({"env-wait"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(own_names(), std::vector<std::string>{entry_name_});
    EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});
    const std::string main_file = library_name(target(), "fixture_app");
    ASSERT_TRUE(fs::is_regular_file(entry() / main_file));
    EXPECT_TRUE(fs::is_regular_file(entry() / "data" / "sub" / "note.txt"));
    if (target() == Target::Linux) {
        EXPECT_EQ(fs::status(root_).permissions() & fs::perms::all, fs::perms::owner_all);
        EXPECT_EQ(fs::status(entry()).permissions() & fs::perms::all, fs::perms::owner_all);
    }
    struct stat unpacked {};
    ASSERT_EQ(stat((entry() / main_file).c_str(), &unpacked), 0);

    const RunResult warm = start_once({"env-wait"});
    ASSERT_EQ(warm.status, 0) << warm.err;
    EXPECT_EQ(warm.err, "");
    std::map<std::string, std::string> values = key_values(warm.out);
    // No child: the application runs in the process that was started, whose id it was given.
    EXPECT_EQ(values["VARNOK_ONEFILE_PARENT"], values["pid"]);
    EXPECT_EQ(values["VARNOK_ONEFILE_RANDOM"], "<unset>");
    EXPECT_EQ(host_path(target(), values["main"]), entry() / main_file);
    // (Windows publishes the directory's short form, which Wine spells its own way.)
    if (target() == Target::Linux) EXPECT_EQ(values["VARNOK_ONEFILE_DIRECTORY"], executable_.parent_path().string());
    // Not unpacked again: the very file the first start wrote.
    struct stat used {};
    ASSERT_EQ(stat((entry() / main_file).c_str(), &used), 0);
    EXPECT_EQ(used.st_ino, unpacked.st_ino);
    EXPECT_EQ(own_names(), std::vector<std::string>{entry_name_});
    EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});

    // The application's status and arguments are its own, as from a child.
    EXPECT_EQ(start_once({"exit", "7"}).status, 7);
    const RunResult args = start_once({"args", "a b", ""});
    ASSERT_EQ(args.status, 0);
    EXPECT_NE(args.out.find("61 20 62"), std::string::npos) << args.out;
}

TEST_P(Cache, TwentyFirstStartsAtOnceAllRunAndLeaveOneEntry) {
    std::vector<std::unique_ptr<RunningProcess>> starts;
    for (int i = 0; i < 20; ++i) {
        starts.push_back(start(target(), executable_, options({"exit", std::to_string(i + 10)})));
        ASSERT_NE(starts.back(), nullptr);
    }
    for (int i = 0; i < 20; ++i) {
        const RunResult result = starts[i]->finish(240000);
        EXPECT_EQ(result.status, i + 10) << "start " << i << ": " << result.err;
        EXPECT_EQ(result.err, "") << "start " << i;
    }
    EXPECT_EQ(own_names(), std::vector<std::string>{entry_name_});
    EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});
    EXPECT_EQ(files_below(entry()),
              (std::vector<std::string>{"data/sub/note.txt", library_name(target(), "fixture_app"),
                                        library_name(target(), "fixture_helper")}));
}

enum class Damage { FileDeleted, FileTruncated, FileEditedInPlace, FileReplacedByLink, DirectoryReplacedByLink };

class CacheDamage : public Cache {
protected:
    void damage(Damage kind) {
        const fs::path helper = entry() / library_name(target(), "fixture_helper");
        const fs::path copy = scratch_ / "elsewhere";
        switch (kind) {
            case Damage::FileDeleted:
                fs::remove(helper);
                break;
            case Damage::FileTruncated:
                fs::resize_file(helper, fs::file_size(helper) / 2);
                break;
            case Damage::FileEditedInPlace: {
                // Same size, one byte changed: the time of the change gives it away.
                std::string bytes = read_file(helper);
                bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
                const int fd = ::open(helper.c_str(), O_WRONLY);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
                ::close(fd);
                break;
            }
            case Damage::FileReplacedByLink:
                fs::copy_file(helper, copy);
                fs::remove(helper);
                fs::create_symlink(copy, helper);
                break;
            case Damage::DirectoryReplacedByLink:
                fs::copy(entry() / "data", copy, fs::copy_options::recursive);
                fs::remove_all(entry() / "data");
                fs::create_directory_symlink(copy, entry() / "data");
                break;
        }
    }
};

TEST_P(CacheDamage, ADamagedEntryIsReplacedNeverRun) {
    const std::string intact = hashes();
    const std::vector<std::pair<Damage, std::string>> kinds = {
        {Damage::FileDeleted, "a file deleted"},
        {Damage::FileTruncated, "a file truncated"},
        {Damage::FileEditedInPlace, "a file edited in place"},
        {Damage::FileReplacedByLink, "a file replaced by a link"},
        {Damage::DirectoryReplacedByLink, "a directory replaced by a link"},
    };
    for (const auto& [kind, what] : kinds) {
        SCOPED_TRACE(what);
        // Wine does not show Linux links as links (its own are stubs): the link rows are Linux's.
        const bool link = kind == Damage::FileReplacedByLink || kind == Damage::DirectoryReplacedByLink;
        if (link && target() == Target::Windows) continue;
        damage(kind);
        const RunResult result = start_once({"hash"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, intact);
        EXPECT_EQ(own_names(), std::vector<std::string>{entry_name_});
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(entry() / library_name(target(), "fixture_helper"))));
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(entry() / "data")));
        std::error_code error;
        fs::remove_all(scratch_ / "elsewhere", error);
    }
    EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});
}

TEST_P(Cache, PlantedEntriesAreRefusedAndTheApplicationStillStarts) {
    struct Planting {
        std::string what;
        bool linux_only;
    };
    const fs::path decoy = scratch_ / "decoy";
    make_fixture_app(target(), decoy);
    write_file(decoy / "planted.txt", "planted\n");
    for (const Planting& planting :
         {Planting{"a file", false}, Planting{"a link to a directory", true},
          Planting{"a directory open to others", true}, Planting{"another user's directory", true}}) {
        SCOPED_TRACE(planting.what);
        if (planting.linux_only && target() == Target::Windows) continue;
        fs::create_directories(root_);
        if (planting.what == "a file") {
            write_file(entry(), "not a directory\n");
        } else if (planting.what == "a link to a directory") {
            fs::create_directory_symlink(decoy, entry());
        } else {
            fs::copy(decoy, entry(), fs::copy_options::recursive);
            if (planting.what == "a directory open to others") {
                fs::permissions(entry(), fs::perms::owner_all | fs::perms::group_all | fs::perms::others_all);
            } else {
                ASSERT_EQ(::chown(entry().c_str(), 4242, 4242), 0);
            }
        }
        const RunResult result = start_once({"hash"});
        ASSERT_EQ(result.status, 0) << result.err;
        // Said once; the application ran from a temporary directory, which is gone again.
        const std::string expected = std::string(WARNING_PREFIX) + "cache directory '";
        EXPECT_EQ(result.err.rfind(expected, 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.out.find("planted.txt"), std::string::npos) << result.out;
        EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});
        // What was planted is left as it was.
        if (planting.what == "a file") {
            EXPECT_EQ(read_file(entry()), "not a directory\n");
        } else {
            EXPECT_EQ(read_file(entry() / "planted.txt"), "planted\n");
        }
        std::error_code error;
        fs::remove(entry(), error);
        fs::remove_all(entry(), error);
    }
    // A cache root that is a link is refused the same way.
    if (target() == Target::Linux) {
        fs::remove_all(root_);
        fs::create_directory_symlink(decoy, root_);
        const RunResult result = start_once({"exit", "4"});
        EXPECT_EQ(result.status, 4);
        EXPECT_EQ(result.err.rfind(WARNING_PREFIX, 0), 0u) << result.err;
        EXPECT_EQ(files_below(decoy).size(), 3u);
    }
}

TEST_P(Cache, ACacheThatCannotBeMadeFallsBackToATemporaryDirectory) {
    if (target() == Target::Windows) GTEST_SKIP() << "Wine's local application data cannot be redirected";
    // A folder below which nothing can be created, whoever asks.
    RunOptions run_options = options({"exit", "5"});
    run_options.environment["XDG_CACHE_HOME"] = "/sys";
    const RunResult result = run(target(), executable_, run_options);
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(result.err.rfind(std::string(WARNING_PREFIX) + "couldn't use cache directory '/sys/onefile' ([Error ", 0),
              0u)
        << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});
}

TEST_P(Cache, OtherVersionsUnusedForThirtyDaysAndAbandonedStagingGo) {
    ASSERT_EQ(start_once({"exit", "0"}).status, 0);
    const std::string stem = entry_name_.substr(0, entry_name_.size() - 16);
    const auto plant = [&](const std::string& name, long long seconds) {
        write_file(root_ / name / "file.txt", "old\n");
        if (target() == Target::Linux) fs::permissions(root_ / name, fs::perms::owner_all);
        age(root_ / name, seconds);
        return root_ / name;
    };
    const long long day = 24 * 3600;
    const fs::path old_version = plant(stem + "0000000000000000", 31 * day);
    const fs::path recent_version = plant(stem + "1111111111111111", 29 * day);
    const fs::path other_program = plant("other-" + std::to_string(getpid()) + "-2222222222222222", 31 * day);
    const fs::path left_staging = plant("." + stem + "3333333333333333.12-abc", 60);
    const fs::path young_staging = plant("." + stem + "4444444444444444.12-abc", 0);
    age(entry(), 40 * day);  // this start's own entry is in use whatever its age

    const RunResult result = start_once({"exit", "0"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fs::exists(old_version));
    EXPECT_TRUE(fs::exists(recent_version / "file.txt"));
    EXPECT_TRUE(fs::exists(other_program / "file.txt"));
    EXPECT_FALSE(fs::exists(left_staging));
    EXPECT_TRUE(fs::exists(young_staging / "file.txt"));
    EXPECT_TRUE(fs::exists(entry() / library_name(target(), "fixture_app")));
    for (const fs::path& left : {recent_version, other_program, young_staging}) remove_left_directory(left);
}

INSTANTIATE_TEST_SUITE_P(Targets, Cache, ::testing::Values(Target::Linux, Target::Windows), target_param_name);
INSTANTIATE_TEST_SUITE_P(Targets, CacheDamage, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

}  // namespace
}  // namespace e2e
