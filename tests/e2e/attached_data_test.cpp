// The launcher's checks of the attached data's header and file table, seen from outside: damaged
// data linked unchanged into a launcher must end with the one plain message, and nothing of it
// may be written unless an earlier, sound entry was already extracted.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

const std::string HEADER_MESSAGE = "Error, couldn't find attached data header.";

// An attached data whose header declares `table` exactly, with no stream and no trailing bytes.
std::string with_table(const std::string& table, const std::string& after = {}) {
    return attached_bytes(table.size(), 0, table, after, "");
}

std::string last_entry(const char16_t* name) { return entry_bytes({FLAG_LAST, 0, name, {}}); }

struct DamagedCase {
    std::string name;
    std::string attached;
    // Files that an earlier, sound entry leaves in the target directory before the damage is
    // met; empty when no target directory may appear at all.
    std::vector<std::string> files_left;
};

void PrintTo(const DamagedCase& damaged, std::ostream* out) { *out << damaged.name; }

std::vector<DamagedCase> damaged_cases() {
    std::vector<DamagedCase> cases;
    const std::string entry_a = entry_bytes({0, 0, u"a", {}});

    // Header.
    cases.push_back({"NoBytesAtAll", "", {}});
    cases.push_back({"FifteenBytes", std::string(15, '\0'), {}});
    cases.push_back({"FifteenBytesOfAValidHeader", attached_bytes(0, 0, "", "", "").substr(0, 15), {}});
    cases.push_back({"TableOneByteLongerThanTheData", attached_bytes(11, 0, std::string(10, 'x'), "", ""), {}});
    cases.push_back({"TableSizeAllOnes", attached_bytes(~0ULL, 0, last_entry(u"a"), "", ""), {}});
    // Only data of more than 256 MiB could pass the length check with such a size; here the
    // size is refused by whichever check comes first.
    cases.push_back({"TableSizeAboveTheTableLimit", attached_bytes(0x10000001ULL, 0, last_entry(u"a"), "", ""), {}});
    cases.push_back({"CompressedOneByteLongerThanTheData",
                     attached_bytes(last_entry(u"a").size(), 5, last_entry(u"a"), "1234", ""), {}});
    cases.push_back({"CompressedSizeAllOnes", attached_bytes(last_entry(u"a").size(), ~0ULL, last_entry(u"a"), "", ""),
                     {}});
    // Added to the table size and the header, this size wraps around to a small number.
    cases.push_back({"CompressedSizeThatWrapsAround",
                     attached_bytes(last_entry(u"a").size(), 0ULL - 16 - last_entry(u"a").size(), last_entry(u"a"),
                                    "", std::string(9, '\0')),
                     {}});

    // Entries.
    cases.push_back({"TableOfElevenBytes", with_table(std::string(11, '\0')), {}});
    cases.push_back({"ElevenBytesAfterAnEntry", with_table(entry_a + std::string(11, 'z')), {"a"}});
    cases.push_back({"FlagBit3", with_table(entry_bytes({FLAG_LAST | 8, 0, u"a", {}})), {}});
    cases.push_back({"FlagBit31", with_table(entry_bytes({FLAG_LAST | 0x80000000u, 0, u"a", {}})), {}});
    cases.push_back({"FlagBit3Alone", with_table(entry_bytes({8, 0, u"a", {}}) + last_entry(u"b")), {}});
    {
        const std::string entry = last_entry(u"abc");
        cases.push_back({"NameWithoutNulInTheTable", with_table(entry.substr(0, entry.size() - 2)), {}});
        // The NUL's second byte lies just past the table end, inside the data.
        cases.push_back({"NameNulHalfOutsideTheTable",
                         attached_bytes(entry.size() - 1, 0, entry.substr(0, entry.size() - 1), "", std::string(1, '\0')),
                         {}});
    }
    cases.push_back({"EmptyName", with_table(last_entry(u"")), {}});
    cases.push_back({"NameOf4096UnitsBeforeItsNul", with_table(last_entry(std::u16string(4096, u'n').c_str())), {}});
    cases.push_back({"NameRunningToTheTableEndWithoutNul",
                     with_table(entry_bytes({FLAG_LAST, 0, std::u16string(3000, u'n'), {}}).substr(0, 12 + 2 * 3000)),
                     {}});
    // Accepted by the entry check (4095 units), refused because the composed path cannot fit.
    cases.push_back({"NameOf4095Units", with_table(last_entry(std::u16string(4095, u'n').c_str())), {}});
    cases.push_back({"LinkWithoutNulInSecondString",
                     with_table(entry_bytes({FLAG_LINK | FLAG_LAST, 0, u"a", u"bcd"}).substr(0, 12 + 4 + 6)), {}});
    cases.push_back({"LinkWithEmptySecondString", with_table(entry_bytes({FLAG_LINK | FLAG_LAST, 0, u"a", u""})), {}});

    // End of the table.
    cases.push_back({"BytesAfterTheLastEntry", with_table(last_entry(u"a") + "zz"), {"a"}});
    cases.push_back({"WholeEntryAfterTheLastEntry", with_table(last_entry(u"a") + last_entry(u"b")), {"a"}});
    cases.push_back({"NoLastEntry", with_table(entry_a + entry_bytes({0, 0, u"b", {}})), {"a", "b"}});
    return cases;
}

class DamagedAttachedData : public ::testing::TestWithParam<std::tuple<Target, DamagedCase>> {
protected:
    void SetUp() override {
        const Target target = std::get<0>(GetParam());
        if (!target_available(target)) {
            if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << target_name(target) << " build missing";
            GTEST_SKIP() << target_name(target) << " build missing";
        }
    }
};

TEST_P(DamagedAttachedData, EndsWithTheHeaderMessageAndStatus2) {
    const auto& [target, damaged] = GetParam();
    ScratchDir scratch;
    const fs::path exe = scratch / "damaged.exe";
    ASSERT_NO_FATAL_FAILURE(pack_raw(target, damaged.attached, exe));
    const auto before = target_directories(target);

    const RunResult result = run(target, exe);

    expect_plain_failure(result, HEADER_MESSAGE, target);
    const auto left = new_target_directories(target, before);
    if (damaged.files_left.empty()) {
        EXPECT_TRUE(left.empty()) << "a target directory was created: " << left.front();
    } else {
        // A failure runs no cleanup: what was extracted before the damage stays.
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(files_below(left.front()), damaged.files_left);
    }
    for (const auto& directory : left) remove_left_directory(directory);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedAttachedData,
                         ::testing::Combine(::testing::Values(Target::Linux, Target::Windows),
                                            ::testing::ValuesIn(damaged_cases())),
                         [](const auto& info) {
                             return target_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

// A file table of more than 256 MiB is refused even when the data is long enough to hold it, and
// even when every entry in it is sound: nothing of it is extracted. (Linux only: linking a quarter
// of a gigabyte costs seconds, and the check is the same code on both targets.)
TEST(LinuxHugeAttachedData, FileTableAbove256MiBIsRefusedBeforeAnythingIsWritten) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    std::u16string name;
    for (int i = 0; i < 10; ++i) name += std::u16string(199, u'a') + u"\\";
    name += u"f";
    const std::string entry = entry_bytes({0, 0, name, {}});
    const std::string last = entry_bytes({FLAG_LAST, 0, name, {}});
    const size_t count = (0x10000001 + entry.size() - 1) / entry.size();
    std::string table;
    table.reserve(count * entry.size());
    for (size_t i = 0; i + 1 < count; ++i) table += entry;
    table += last;
    ASSERT_GT(table.size(), 0x10000000u);
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(pack_raw(Target::Linux, attached_bytes(table.size(), 0, table, "", ""), scratch / "huge.exe"));
    table.clear();
    table.shrink_to_fit();
    fs::remove(scratch / "huge.exe.attached");
    const auto before = target_directories(Target::Linux);
    const RunResult result = run(Target::Linux, scratch / "huge.exe");
    expect_plain_failure(result, HEADER_MESSAGE, Target::Linux);
    const auto left = new_target_directories(Target::Linux, before);
    EXPECT_TRUE(left.empty()) << "a target directory was created";
    for (const auto& directory : left) remove_left_directory(directory);
}

// Sound attached data in shapes the packer does not write.
class AcceptedAttachedData : public TargetTest {};

TEST_P(AcceptedAttachedData, FlagBit0OnAnyEntryIsAccepted) {
    ScratchDir scratch;
    auto files = fixture_files(target());
    files[0].flags = FLAG_BIT0;
    files[1].flags = FLAG_BIT0 | FLAG_LAST;
    ASSERT_NO_FATAL_FAILURE(pack_raw(target(), attached_for(files), scratch / "app.exe"));
    const RunResult result = run(target(), scratch / "app.exe", with_arguments({"exit", "7"}));
    EXPECT_EQ(result.status, 7) << result.out << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

TEST_P(AcceptedAttachedData, TrailingBytesOfAnyContentChangeNothing) {
    std::mt19937 random(12345);
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const std::string valid_header_copy = attached_for(fixture_files(target())).substr(0, 64);
    const std::vector<std::pair<std::string, std::string>> trailers = {
        {"none", ""},
        {"one byte", "\xFF"},
        {"noise", noise},
        {"a header-like copy", valid_header_copy},
    };
    for (const auto& [label, trailing] : trailers) {
        SCOPED_TRACE(label);
        ScratchDir scratch;
        ASSERT_NO_FATAL_FAILURE(pack_raw(target(), attached_for(fixture_files(target()), trailing), scratch / "app.exe"));
        const RunResult result = run(target(), scratch / "app.exe", with_arguments({"exit", "9"}));
        EXPECT_EQ(result.status, 9) << result.out << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST_P(AcceptedAttachedData, BytesBeyondTheFilesInTheStreamAreLeftUnread) {
    auto files = fixture_files(target());
    const std::string table = file_table(files);
    const std::string stream = compress(joined_contents(files) + std::string(100000, 'x'));
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(pack_raw(target(), attached_bytes(table.size(), stream.size(), table, stream), scratch / "app.exe"));
    const RunResult result = run(target(), scratch / "app.exe", with_arguments({"exit", "4"}));
    EXPECT_EQ(result.status, 4) << result.out << result.err;
    EXPECT_EQ(result.out + result.err, "");
}

// A table that fills the whole data and a compressed size of 0 pass the header check: the empty
// main binary is written, and only loading it fails.
TEST_P(AcceptedAttachedData, TableFillingAllTheDataWithAnEmptyStream) {
    ScratchDir scratch;
    const std::string name = library_name(target(), "empty");
    ASSERT_NO_FATAL_FAILURE(pack_raw(target(), with_table(entry_bytes({FLAG_LAST, 0, utf16(name), {}})), scratch / "app.exe"));
    const auto before = target_directories(target());
    const RunResult result = run(target(), scratch / "app.exe");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error ", 0), 0u) << result.err;
    EXPECT_TRUE(new_target_directories(target(), before).empty());
}

INSTANTIATE_TEST_SUITE_P(Targets, AcceptedAttachedData, ::testing::Values(Target::Linux, Target::Windows),
                         target_param_name);

}  // namespace
}  // namespace e2e
