// Removal of the target directory: trees, links inside them, paths that do not fit, and the
// cleanup that console events and the end of the parent run.
#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <exception>
#include <string>
#include <system_error>

#include "common/state.h"
#include "child/cleanup.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::wstring S(1, PATH_SEPARATOR);

bool remove_path(const fs::path& path) { return remove_tree(unit::wide(path).c_str()); }

void make_tree(const fs::path& root) {
    fs::create_directories(root / "a" / "b" / "c");
    fs::create_directories(root / "empty");
    unit::write_file(root / "top.txt", "top");
    unit::write_file(root / "a" / "one", "1");
    unit::write_file(root / "a" / "b" / "two", "2");
    unit::write_file(root / "a" / "b" / "c" / "three", std::string(100000, 'x'));
    // Names that only look like "." and "..".
    unit::write_file(root / ".x", "dot");
    unit::write_file(root / "..y", "dots");
    unit::write_file(root / "a" / "...z", "more dots");
}

TEST(RemoveTree, MissingPathIsAlreadyRemoved) {
    EXPECT_TRUE(remove_path(unit::test_path("missing")));
    EXPECT_TRUE(remove_path(unit::test_path("missing") / "below"));
}

TEST(RemoveTree, EmptyDirectory) {
    const fs::path root = unit::test_path("root");
    fs::create_directories(root);
    EXPECT_TRUE(remove_path(root));
    EXPECT_FALSE(unit::exists_or_is_link(root));
}

TEST(RemoveTree, SingleFile) {
    const fs::path file = unit::test_path("file");
    unit::write_file(file, "content");
    EXPECT_TRUE(remove_path(file));
    EXPECT_FALSE(unit::exists_or_is_link(file));
}

TEST(RemoveTree, NestedTree) {
    const fs::path root = unit::test_path("root");
    make_tree(root);
    ASSERT_EQ(unit::list_tree(root).size(), 11u);
    EXPECT_TRUE(remove_path(root));
    EXPECT_FALSE(unit::exists_or_is_link(root));
    // The directory beside it is untouched.
    EXPECT_TRUE(unit::is_directory(unit::scratch_root()));
}

TEST(RemoveTree, TrailingSeparator) {
    const fs::path root = unit::test_path("root");
    make_tree(root);
    EXPECT_TRUE(remove_tree((unit::wide(root) + S).c_str()));
    EXPECT_FALSE(unit::exists_or_is_link(root));
}

TEST(RemoveTree, PathThatDoesNotFitIsNotRemoved) {
    EXPECT_FALSE(remove_tree(std::wstring(4096, L'a').c_str()));
    EXPECT_FALSE(remove_tree((unit::wide(unit::scratch_root()) + S + std::wstring(5000, L'a')).c_str()));
    // 4095 units fit: a path of that length that names nothing is already removed.
    std::wstring longest = unit::wide(unit::test_path("missing"));
    while (longest.size() + 2 <= 4095) longest += S + L"a";
    longest.resize(4095, L'a');
    EXPECT_TRUE(remove_tree(longest.c_str()));
}

TEST(RemoveTree, TreeOfTwoThousandLevels) {
    // One path buffer serves every level: a chain as deep as a 4095-unit path allows is removed
    // whole. The tree is simulated, so the walk's depth is tested alike on every platform.
    namespace tp = test_platform;
    tp::fakes().simulated_tree = true;
    const std::wstring root = S + L"root";
    std::wstring path = root;
    tp::tree_add_directory(path);
    size_t levels = 0;
    while (path.size() + 2 + 5 <= 4095) {
        path += S + L"d";
        tp::tree_add_directory(path);
        ++levels;
    }
    tp::tree_add_file(path + S + L"leaf");
    ASSERT_GE(levels, 2000u);
    EXPECT_TRUE(remove_tree(root.c_str()));
    EXPECT_EQ(tp::tree_size(), 0u);
    EXPECT_EQ(tp::calls(tp::Op::RemoveDirectory), static_cast<int>(levels + 1));
}

// ---- links: removed themselves, never entered ------------------------------------------------------

class RemoveTreeLinks : public ::testing::Test {
protected:
    void SetUp() override {
        outside_ = unit::test_path("outside");
        fs::create_directories(outside_ / "inner");
        unit::write_file(outside_ / "kept.txt", "kept");
        unit::write_file(outside_ / "inner" / "deep.txt", "deep");
        root_ = unit::test_path("root");
        fs::create_directories(root_ / "sub");
        unit::write_file(root_ / "sub" / "file", "x");
    }

    // Symbolic links where the system makes real ones (not under Wine, whose call creates nothing).
    void link_or_skip(const fs::path& target, const fs::path& link, bool directory) {
        std::error_code error;
        if (directory) {
            fs::create_directory_symlink(target, link, error);
        } else {
            fs::create_symlink(target, link, error);
        }
        if (error || !fs::is_symlink(fs::symlink_status(link))) GTEST_SKIP() << "no symbolic links here";
    }

    void expect_outside_untouched() {
        EXPECT_EQ(unit::read_file(outside_ / "kept.txt"), "kept");
        EXPECT_EQ(unit::read_file(outside_ / "inner" / "deep.txt"), "deep");
    }

    fs::path outside_;
    fs::path root_;
};

TEST_F(RemoveTreeLinks, LinkToOutsideDirectoryIsRemovedNotEntered) {
    link_or_skip(outside_, root_ / "sub" / "link", true);
    EXPECT_TRUE(remove_path(root_));
    EXPECT_FALSE(unit::exists_or_is_link(root_));
    expect_outside_untouched();
}

TEST_F(RemoveTreeLinks, LinkToOutsideFileIsRemovedNotFollowed) {
    link_or_skip(outside_ / "kept.txt", root_ / "file_link", false);
    EXPECT_TRUE(remove_path(root_));
    EXPECT_FALSE(unit::exists_or_is_link(root_));
    expect_outside_untouched();
}

TEST_F(RemoveTreeLinks, DanglingLinkIsRemoved) {
    link_or_skip(outside_ / "no such file", root_ / "dangling", false);
    EXPECT_TRUE(remove_path(root_));
    EXPECT_FALSE(unit::exists_or_is_link(root_));
}

TEST_F(RemoveTreeLinks, LinkGivenAsThePathIsRemovedItself) {
    const fs::path link = unit::test_path("link");
    link_or_skip(outside_, link, true);
    EXPECT_TRUE(remove_path(link));
    EXPECT_FALSE(unit::exists_or_is_link(link));
    expect_outside_untouched();
}

// ---- names the system gives back in another spelling -------------------------------------------------------

// A file the application made under a name that is not valid UTF-8 (Linux file names are bytes).
TEST(RemoveTreeNames, NameThatIsNotUtf8IsRemoved) {
    const fs::path root = unit::test_path("root");
    fs::create_directories(root);
    fs::path odd;
    try {
        odd = root / fs::path(std::string("bad\xff\xfe-name"));
    } catch (const std::exception&) {
        GTEST_SKIP() << "file names here are not bytes";
    }
    unit::write_file(odd, "x");
    std::error_code error;
    if (!fs::exists(odd, error)) GTEST_SKIP() << "the system does not keep such a name";
    EXPECT_TRUE(remove_path(root));
    EXPECT_FALSE(unit::exists_or_is_link(root));
}

// ---- cleanup_target and the console handler ---------------------------------------------------------------

class Cleanup : public ::testing::Test {
protected:
    void SetUp() override {
        g_state.child_process.store(NO_PROCESS);
        target_ = unit::test_path("target");
        const std::wstring target = unit::wide(target_);
        ASSERT_LT(target.size(), PATH_CAPACITY);
        wmemcpy(g_state.target_directory, target.c_str(), target.size() + 1);
    }
    void TearDown() override { g_state.cleanup_armed.store(false); }

    fs::path target_;
};

TEST_F(Cleanup, NotArmedRemovesNothing) {
    make_tree(target_);
    g_state.cleanup_armed.store(false);
    cleanup_target();
    EXPECT_TRUE(unit::is_directory(target_));
    EXPECT_EQ(unit::read_file(target_ / "top.txt"), "top");
}

TEST_F(Cleanup, ArmedRemovesTheTargetDirectory) {
    make_tree(target_);
    g_state.cleanup_armed.store(true);
    cleanup_target();
    EXPECT_FALSE(unit::exists_or_is_link(target_));
}

TEST_F(Cleanup, ArmedWithoutTargetOnDiskIsDoneAtTheFirstAttempt) {
    g_state.cleanup_armed.store(true);
    const auto start = std::chrono::steady_clock::now();
    cleanup_target();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Nothing there counts as removed: no pause of 100 ms, let alone twenty.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 100);
    EXPECT_FALSE(unit::exists_or_is_link(target_));
}

struct EventCase {
    int event;
    bool cleans_up;
};

TEST_F(Cleanup, ConsoleHandlerRunsTheCleanupForItsEventsAndNeverConsumesThem) {
    const EventCase cases[] = {
        EventCase{0, true}, EventCase{1, true}, EventCase{2, true},
        EventCase{3, false}, EventCase{4, false}, EventCase{5, true},
        EventCase{6, true}, EventCase{7, false}, EventCase{-1, false},
        EventCase{100, false}
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.event);
        make_tree(target_);
        g_state.cleanup_armed.store(true);
        EXPECT_FALSE(console_control_handler(c.event));
        EXPECT_EQ(unit::exists_or_is_link(target_), !c.cleans_up);
    }
}

}  // namespace
