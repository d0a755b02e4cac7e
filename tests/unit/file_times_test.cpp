// Unpacked files keep the times they had when packed, as the record beside the attached data says.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/extras.h"
#include "common/state.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/extract.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace tp = test_platform;

struct Time {
    int64_t seconds;
    uint32_t nanoseconds;
};

std::vector<uint8_t> times_record(const std::vector<Time>& times, uint32_t extra_tag = 0) {
    std::vector<uint8_t> field;
    unit::put_u64(field, times.size());
    for (const Time& t : times) {
        unit::put_u64(field, static_cast<uint64_t>(t.seconds));
        unit::put_u32(field, t.nanoseconds);
    }
    std::vector<uint8_t> fields;
    if (extra_tag != 0) {
        // A field of a kind this launcher does not know comes first and is skipped.
        unit::put_u32(fields, extra_tag);
        unit::put_u64(fields, 3);
        fields.insert(fields.end(), {7, 7, 7});
    }
    unit::put_u32(fields, EXTRAS_TAG_FILE_TIMES);
    unit::put_u64(fields, field.size());
    fields.insert(fields.end(), field.begin(), field.end());
    std::vector<uint8_t> record(EXTRAS_MAGIC, EXTRAS_MAGIC + 8);
    unit::put_u64(record, 16 + fields.size());
    record.insert(record.end(), fields.begin(), fields.end());
    return record;
}

class FileTimesTest : public unit::ExtractionTest {
protected:
    void SetUp() override {
        ExtractionTest::SetUp();
        target_ = use_target();
    }

    static void extract(const std::vector<uint8_t>& blob, const std::vector<uint8_t>& record) {
        set_attached_extras(record.empty() ? nullptr : record.data(), record.size());
        ExtractionTest::extract(blob);
    }

    fs::path target_;
};

const std::vector<unit::AppFile> FILES = {{u"main.bin", "main"}, {u"lib\\mod.py", "print(1)\n"}, {u"old.txt", "old"}};

TEST_F(FileTimesTest, EveryFileGetsItsRecordedTime) {
    // A sub-second part (a multiple of 100 ns, which both systems keep) and a time before 1970.
    const std::vector<Time> times = {{1700000000, 123456700}, {1600000000, 0}, {-315532800, 500000000}};
    extract(unit::make_application(FILES, true), times_record(times, 99));
    const fs::path paths[] = {target_ / "main.bin", target_ / "lib" / "mod.py", target_ / "old.txt"};
    for (size_t i = 0; i < 3; ++i) {
        int64_t seconds = 0;
        uint32_t nanoseconds = 0;
        ASSERT_TRUE(tp::file_time(unit::wide(paths[i]), &seconds, &nanoseconds)) << paths[i];
        EXPECT_EQ(seconds, times[i].seconds) << paths[i];
        EXPECT_EQ(nanoseconds, times[i].nanoseconds) << paths[i];
    }
}

TEST_F(FileTimesTest, WithoutARecordFilesHaveTheTimeOfExtraction) {
    extract(unit::make_application(FILES, true), {});
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    ASSERT_TRUE(tp::file_time(unit::wide(target_ / "main.bin"), &seconds, &nanoseconds));
    EXPECT_GT(seconds, 1700000000);  // now, not anything recorded
}

TEST(FileTimesRecord, MalformedRecordsHoldNoTimes) {
    const std::vector<uint8_t> good = times_record({{1, 2}, {3, 4}});
    FileTimes times{};
    ASSERT_TRUE(read_file_times(good.data(), good.size(), &times));
    EXPECT_EQ(times.count, 2u);
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    EXPECT_TRUE(file_time_at(times, 1, &seconds, &nanoseconds));
    EXPECT_EQ(seconds, 3);
    EXPECT_FALSE(file_time_at(times, 2, &seconds, &nanoseconds));

    std::vector<uint8_t> bad_magic = good;
    bad_magic[0] = 'X';
    std::vector<uint8_t> total_too_big = good;
    total_too_big[8] = static_cast<uint8_t>(good.size() + 1);
    std::vector<uint8_t> count_too_big = good;
    count_too_big[16 + 12] = 3;  // three times in the room of two
    for (const auto& record : {bad_magic, total_too_big, count_too_big}) {
        EXPECT_FALSE(read_file_times(record.data(), record.size(), &times));
        EXPECT_EQ(times.entries, nullptr);
    }
    // Cut at every length: never read past the record.
    for (size_t length = 0; length < good.size(); ++length) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(length));
        read_file_times(cut.data(), cut.size(), &times);
        if (times.entries != nullptr) EXPECT_LE(16 + 12 + 8 + times.count * FILE_TIME_SIZE, length);
    }
    std::vector<uint8_t> bad_nanoseconds = times_record({{1, 1000000000u}});
    ASSERT_TRUE(read_file_times(bad_nanoseconds.data(), bad_nanoseconds.size(), &times));
    EXPECT_FALSE(file_time_at(times, 0, &seconds, &nanoseconds));
}

}  // namespace
