// The canonical form of executable paths against the real file system: final paths and their
// prefixes, short directory parts, and the cache of the launcher's own path.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "environment/exe_path.h"
#include "test_support.h"

#include <windows.h>

namespace {

constexpr wchar_t LONG_DIRECTORY[] = L"a long directory name with spaces";

std::wstring long_path_of(const std::wstring& path) {
    wchar_t buffer[4096];
    const DWORD length = GetLongPathNameW(path.c_str(), buffer, 4096);
    return length > 0 && length < 4096 ? std::wstring(buffer) : L"<GetLongPathNameW failed>";
}

std::wstring short_path_of(const std::wstring& path) {
    wchar_t buffer[4096];
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, 4096);
    return length > 0 && length < 4096 ? std::wstring(buffer) : L"<GetShortPathNameW failed>";
}

// In place, as the launcher calls it. The buffer always holds the whole input, also when the
// capacity given is smaller (that is what the bound checks are about).
std::wstring resolved(const std::wstring& path, size_t capacity = OWN_PATH_CAPACITY, bool resolve = true) {
    std::vector<wchar_t> buffer(std::max(capacity, path.size() + 1));
    wmemcpy(buffer.data(), path.c_str(), path.size() + 1);
    resolve_final_path(buffer.data(), buffer.data(), capacity, resolve);
    return std::wstring(buffer.data());
}

std::wstring shortened(const std::wstring& path, size_t capacity = OWN_PATH_CAPACITY) {
    std::vector<wchar_t> buffer(std::max(capacity, path.size() + 1));
    wmemcpy(buffer.data(), path.c_str(), path.size() + 1);
    shorten_directory_part(buffer.data(), capacity);
    return std::wstring(buffer.data());
}

// A directory on the drive Wine maps to the Linux root, so the final path the system reports is a
// drive path of a known spelling: Z:\tmp\... (/tmp is no link on the test machines).
class ExePath : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Named after the run's scratch directory, which death-test children share with the parent.
        directory_ = L"Z:\\tmp\\" + unit::scratch_root().filename().wstring() + L"-win";
        CreateDirectoryW(directory_.c_str(), nullptr);
        CreateDirectoryW((directory_ + L"\\" + LONG_DIRECTORY).c_str(), nullptr);
        for (const std::wstring& file : {directory_ + L"\\file.txt", directory_ + L"\\" + LONG_DIRECTORY + L"\\tool.exe"}) {
            HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        }
    }
    static void TearDownTestSuite() {
        DeleteFileW((directory_ + L"\\file.txt").c_str());
        DeleteFileW((directory_ + L"\\" + LONG_DIRECTORY + L"\\tool.exe").c_str());
        RemoveDirectoryW((directory_ + L"\\" + LONG_DIRECTORY).c_str());
        RemoveDirectoryW(directory_.c_str());
    }
    void SetUp() override {
        ASSERT_NE(GetFileAttributesW((directory_ + L"\\file.txt").c_str()), INVALID_FILE_ATTRIBUTES)
            << "the test directory could not be made";
    }

    static std::wstring directory_;
};

std::wstring ExePath::directory_;

TEST_F(ExePath, FinalPathOfADriveLosesTheLongPathPrefix) {
    const std::wstring file = directory_ + L"\\file.txt";
    EXPECT_EQ(resolved(L"\\\\?\\" + file), file);
    EXPECT_EQ(resolved(file), file);
}

TEST_F(ExePath, DistinctResultBufferLeavesTheInputAlone) {
    const std::wstring input = L"\\\\?\\" + directory_ + L"\\file.txt";
    wchar_t result[OWN_PATH_CAPACITY];
    resolve_final_path(result, input.c_str(), OWN_PATH_CAPACITY, true);
    EXPECT_EQ(std::wstring(result), directory_ + L"\\file.txt");
    EXPECT_EQ(input, L"\\\\?\\" + directory_ + L"\\file.txt");
}

TEST_F(ExePath, WithoutResolvingThePrefixStays) {
    const std::wstring input = L"\\\\?\\" + directory_ + L"\\file.txt";
    EXPECT_EQ(resolved(input, OWN_PATH_CAPACITY, false), input);
}

TEST_F(ExePath, PathOfNoFileKeepsItsPrefix) {
    const std::wstring input = L"\\\\?\\" + directory_ + L"\\no such file";
    EXPECT_EQ(resolved(input), input);
}

TEST_F(ExePath, RelativePathBecomesTheFullFinalPath) {
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
    const std::wstring result = resolved(L"file.txt");
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(result, directory_ + L"\\file.txt");
}

TEST_F(ExePath, FileOnTheSystemDriveComesBackAsADrivePath) {
    const std::wstring file = unit::wide(unit::scratch_root() / "on_c.txt");
    unit::write_file(unit::scratch_root() / "on_c.txt", "c");
    const std::wstring result = resolved(file);
    ASSERT_GE(result.size(), 3u);
    EXPECT_NE(result.rfind(L"\\\\?\\", 0), 0u) << result;
    EXPECT_EQ(result[1], L':');
    EXPECT_NE(GetFileAttributesW(result.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ExePath, InputThatDoesNotFitIsAFatalStop) {
    const std::wstring input = directory_ + L"\\file.txt";
    EXPECT_EXIT(
        {
            resolved(input, input.size());
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    EXPECT_EXIT(
        {
            resolved(input, input.size(), false);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    EXPECT_EQ(resolved(input, input.size() + 1, false), input);
}

TEST_F(ExePath, FinalPathThatDoesNotFitIsAFatalStop) {
    // The input fits, the final path of the same file does not.
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
    EXPECT_EXIT(
        {
            resolved(L"file.txt", 20);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    SetCurrentDirectoryW(saved);
}

TEST_F(ExePath, ShortDirectoryPartKeepsTheFileName) {
    const std::wstring path = directory_ + L"\\" + LONG_DIRECTORY + L"\\tool.exe";
    const std::wstring result = shortened(path);
    EXPECT_NE(result.find(L'~'), std::wstring::npos) << result;
    EXPECT_EQ(result.substr(result.size() - 9), L"\\tool.exe");
    EXPECT_EQ(long_path_of(result), path);
    // Short names are stable.
    EXPECT_EQ(shortened(path), result);
}

TEST_F(ExePath, PathWithoutBackslashIsShortenedWhole) {
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
    const std::wstring result = shortened(LONG_DIRECTORY);
    const std::wstring long_form = long_path_of(result);
    SetCurrentDirectoryW(saved);
    EXPECT_NE(result.find(L'~'), std::wstring::npos) << result;
    EXPECT_EQ(result.find(L'\\'), std::wstring::npos) << "no file name may be appended";
    EXPECT_EQ(long_form, LONG_DIRECTORY);
}

TEST_F(ExePath, MissingDirectoryStaysLong) {
    const std::wstring path = directory_ + L"\\no such directory at all\\tool.exe";
    EXPECT_EQ(shortened(path), path);
}

TEST_F(ExePath, ShortFormIsWrittenWithinTheInputsCapacity) {
    const std::wstring path = directory_ + L"\\" + LONG_DIRECTORY + L"\\tool.exe";
    const std::wstring result = shortened(path);
    ASSERT_LT(result.size(), path.size());
    // The capacity that just holds the input is enough for its shorter form.
    EXPECT_EQ(shortened(path, path.size() + 1), result);
}

TEST_F(ExePath, LongAndShortSpellingsResolveToOneForm) {
    const std::wstring long_directory = directory_ + L"\\" + LONG_DIRECTORY;
    const std::wstring short_directory = short_path_of(long_directory);
    ASSERT_NE(short_directory, long_directory);
    const std::wstring through_long = shortened(resolved(long_directory + L"\\tool.exe"));
    const std::wstring through_short = shortened(resolved(short_directory + L"\\tool.exe"));
    EXPECT_EQ(through_long, through_short);
    EXPECT_EQ(through_long, short_directory + L"\\tool.exe");
}

TEST(OwnExecutablePath, IsComputedOncePerForm) {
    const wchar_t* resolved_first = get_own_executable_path(true);
    const wchar_t* plain_first = get_own_executable_path(false);
    EXPECT_EQ(get_own_executable_path(true), resolved_first);
    EXPECT_EQ(get_own_executable_path(false), plain_first);
    EXPECT_NE(resolved_first, plain_first);

    wchar_t module[4096];
    ASSERT_GT(GetModuleFileNameW(nullptr, module, 4096), 0u);
    const std::wstring name = std::wcsrchr(module, L'\\') + 1;
    for (const wchar_t* form : {resolved_first, plain_first}) {
        const std::wstring text(form);
        ASSERT_GT(text.size(), name.size());
        EXPECT_EQ(text.substr(text.size() - name.size() - 1), L"\\" + name);
        EXPECT_NE(text.rfind(L"\\\\?\\", 0), 0u);
        EXPECT_NE(GetFileAttributesW(form), INVALID_FILE_ATTRIBUTES);
    }
    // The plain form is the module name with its directory part shortened.
    EXPECT_EQ(std::wstring(plain_first), shortened(module));
}

}  // namespace
