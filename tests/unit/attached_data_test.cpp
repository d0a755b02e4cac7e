// The attached data reader over hand-built byte arrays: what it accepts and how it reads it, every
// check that refuses, and blobs cut at every length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/state.h"
#include "payload/attached_data.h"
#include "test_support.h"

namespace {

using unit::encode_entry;
using unit::make_blob;
using unit::make_blob_with_header;

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::u16string name_at(const FileEntry& entry) {
    std::u16string text;
    for (size_t i = 0; i < entry.name_length; ++i) text += static_cast<char16_t>(entry_name_unit(entry, i));
    return text;
}

std::u16string second_at(const FileEntry& entry) {
    std::u16string text;
    for (size_t i = 0; i < entry.second_length; ++i) {
        text += static_cast<char16_t>(entry.second[2 * i] | (entry.second[2 * i + 1] << 8));
    }
    return text;
}

// The walk the extraction makes over the file table, without the files: header, every entry up to
// the last one, the final check.
size_t walk(const uint8_t* data, uint64_t length) {
    set_attached_data(data, length);
    validate_attached_data_header();
    size_t entries = 0;
    if (!file_table_empty()) {
        for (;;) {
            const FileEntry entry = read_file_entry();
            ++entries;
            if ((entry.flags & ENTRY_FLAG_LAST) != 0) break;
        }
    }
    file_table_fully_read();
    return entries;
}

// A copy on the heap of exactly `length` bytes, so that the sanitizer build catches any read past
// the end of the attached data.
std::unique_ptr<uint8_t[]> exact_copy(const std::vector<uint8_t>& blob, size_t length) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length == 0 ? 1 : length]);
    if (length > 0) memcpy(copy.get(), blob.data(), length);
    return copy;
}

// ---- what is accepted ------------------------------------------------------------------------------------

TEST(AttachedData, ReadsEntriesInOrder) {
    const std::vector<uint8_t> table = concat({
        encode_entry(0, 0x1122334455667788ull, u"main.dll"),
        encode_entry(ENTRY_FLAG_BIT0, 3, u"sub\\tool.exe"),
        encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 0, u"link", u"target\\file"),
    });
    const std::vector<uint8_t> compressed = {1, 2, 3, 4, 5};
    const std::vector<uint8_t> blob = make_blob(table, compressed, {9, 9});

    set_attached_data(blob.data(), blob.size());
    validate_attached_data_header();
    EXPECT_FALSE(file_table_empty());
    EXPECT_EQ(compressed_stream_start(), blob.data() + 16 + table.size());
    EXPECT_EQ(compressed_stream_size(), compressed.size());

    const FileEntry first = read_file_entry();
    EXPECT_EQ(first.flags, 0u);
    EXPECT_EQ(first.size, 0x1122334455667788ull);
    EXPECT_EQ(first.name, blob.data() + 16 + 12);
    EXPECT_EQ(name_at(first), u"main.dll");

    const FileEntry second = read_file_entry();
    EXPECT_EQ(second.flags, ENTRY_FLAG_BIT0);
    EXPECT_EQ(second.size, 3u);
    EXPECT_EQ(name_at(second), u"sub\\tool.exe");

    const FileEntry third = read_file_entry();
    EXPECT_EQ(third.flags, ENTRY_FLAG_LINK | ENTRY_FLAG_LAST);
    EXPECT_EQ(name_at(third), u"link");
    EXPECT_EQ(second_at(third), u"target\\file");
    file_table_fully_read();  // returns: the table ends right after the last entry
}

TEST(AttachedData, NonAsciiNameUnitsAreReadLittleEndian) {
    const std::u16string name = u"\u00e9\u4e2d\xD83D\xDE00";
    const std::vector<uint8_t> blob = make_blob(encode_entry(ENTRY_FLAG_LAST, 1, name), {});
    set_attached_data(blob.data(), blob.size());
    validate_attached_data_header();
    EXPECT_EQ(name_at(read_file_entry()), name);
}

struct AcceptedCase {
    const char* label;
    std::vector<uint8_t> blob;
    size_t entries;
};

const std::u16string NAME_4095(4095, u'n');

TEST(AttachedData, AcceptedTable) {
    const AcceptedCase cases[] = {
        AcceptedCase{"name_of_4095_units", make_blob(encode_entry(ENTRY_FLAG_LAST, 0, NAME_4095), {}), 1},
        AcceptedCase{"second_string_of_4095_units",
            make_blob(encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 0, u"a", NAME_4095), {}), 1},
        // The table ends right after the name's NUL.
        AcceptedCase{"nul_in_last_two_bytes", make_blob(encode_entry(ENTRY_FLAG_LAST, 0, u"x"), {7, 7, 7}), 1},
        AcceptedCase{"flags_1_then_5",
            make_blob(concat({encode_entry(1, 0, u"a"), encode_entry(5, 0, u"b")}), {}), 2},
        AcceptedCase{"flags_7", make_blob(encode_entry(7, 0, u"a", u"b"), {}), 1},
        AcceptedCase{"table_size_0", make_blob({}, {1, 2, 3}), 0},
        AcceptedCase{"header_only", make_blob_with_header(0, 0, {}), 0},
        AcceptedCase{"compressed_size_0", make_blob(encode_entry(ENTRY_FLAG_LAST, 5, u"a"), {}), 1},
        // Table size == total length - 16, compressed size 0.
        AcceptedCase{"table_fills_everything",
            make_blob_with_header(16, 0, encode_entry(ENTRY_FLAG_LAST, 0, u"a")), 1},
        // Compressed size == total length - table size - 16.
        AcceptedCase{"compressed_fills_the_rest", make_blob(encode_entry(ENTRY_FLAG_LAST, 0, u"a"), {1, 2, 3}), 1},
        AcceptedCase{"trailing_bytes",
            make_blob(encode_entry(ENTRY_FLAG_LAST, 0, u"a"), {1, 2, 3},
        {0, 0x19, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}),
            1},
        AcceptedCase{"odd_total_length", make_blob(encode_entry(ENTRY_FLAG_LAST, 0, u"a"), {1, 2, 3}, {4}), 1}
    };
    for (const AcceptedCase& c : cases) {
        SCOPED_TRACE(c.label);
        const auto copy = exact_copy(c.blob, c.blob.size());
        EXPECT_EQ(walk(copy.get(), c.blob.size()), c.entries);
    }
}

TEST(AttachedData, FileTableSizeLimitIsInclusive) {
    // Only the header is read: a length beyond the 16 real bytes lets the header pass the earlier
    // check without a quarter of a gigabyte of table.
    const std::vector<uint8_t> header = make_blob_with_header(MAX_FILE_TABLE_SIZE, 0, {});
    set_attached_data(header.data(), MAX_FILE_TABLE_SIZE + 16);
    validate_attached_data_header();
    EXPECT_EQ(compressed_stream_start(), header.data() + 16 + MAX_FILE_TABLE_SIZE);
}

// ---- what is refused ---------------------------------------------------------------------------------------

struct RefusedCase {
    const char* label;
    std::vector<uint8_t> blob;
    uint64_t length;  // 0: the blob's own size
};

std::vector<uint8_t> no_nul(size_t units) {
    std::vector<uint8_t> out;
    unit::put_u32(out, ENTRY_FLAG_LAST);
    unit::put_u64(out, 0);
    unit::put_utf16(out, std::u16string(units, u'n'));
    return out;
}

// A link entry whose table ends right after the name.
std::vector<uint8_t> link_without_second_string() {
    std::vector<uint8_t> out;
    unit::put_u32(out, ENTRY_FLAG_LINK | ENTRY_FLAG_LAST);
    unit::put_u64(out, 0);
    unit::put_utf16(out, std::u16string(u"a\0", 2));
    return out;
}

TEST(AttachedDataRefused, EndsWithStatus2) {
    const RefusedCase cases[] = {
        RefusedCase{"empty", {}, 0},
        RefusedCase{"fifteen_bytes", std::vector<uint8_t>(15, 0), 0},
        RefusedCase{"table_larger_than_data", make_blob_with_header(1, 0, {}), 0},
        RefusedCase{"table_size_all_ones", make_blob_with_header(~0ull, 0, {}), 0},
        RefusedCase{"table_over_limit", make_blob_with_header(MAX_FILE_TABLE_SIZE + 1, 0, {}),
            MAX_FILE_TABLE_SIZE + 1 + 16},
        RefusedCase{"compressed_one_past", make_blob_with_header(0, 4, {1, 2, 3}), 0},
        RefusedCase{"compressed_all_ones", make_blob_with_header(0, ~0ull, {1, 2, 3}), 0},
        // The table fills everything behind the header; one compressed byte is one too many.
        RefusedCase{"compressed_beyond_table",
            make_blob_with_header(16, 1, encode_entry(ENTRY_FLAG_LAST, 0, u"a")), 0},
        RefusedCase{"entry_of_11_bytes", make_blob(std::vector<uint8_t>(11, 0), {}), 0},
        RefusedCase{"second_entry_of_11_bytes",
            make_blob(concat({encode_entry(0, 0, u"a"), std::vector<uint8_t>(11, 0)}), {}), 0},
        RefusedCase{"no_last_entry", make_blob(concat({encode_entry(0, 0, u"a"), encode_entry(0, 0, u"b")}), {}),
            0},
        RefusedCase{"flag_8", make_blob(encode_entry(8 | ENTRY_FLAG_LAST, 0, u"a"), {}), 0},
        RefusedCase{"flag_16", make_blob(encode_entry(16 | ENTRY_FLAG_LAST, 0, u"a"), {}), 0},
        RefusedCase{"flag_top_bit", make_blob(encode_entry(0x80000000u | ENTRY_FLAG_LAST, 0, u"a"), {}), 0},
        RefusedCase{"empty_name", make_blob(encode_entry(ENTRY_FLAG_LAST, 0, u""), {}), 0},
        RefusedCase{"name_without_nul", make_blob(no_nul(3), {}), 0},
        // The NUL would lie just behind the table, in the compressed stream.
        RefusedCase{"nul_after_table_end", make_blob(no_nul(3), {0, 0}), 0},
        // The table ends in the middle of a code unit.
        RefusedCase{"half_a_code_unit", make_blob(concat({no_nul(1), {0}}), {0, 0}), 0},
        RefusedCase{"name_of_4096_units", make_blob(concat({no_nul(4096), {0, 0}}), {}), 0},
        RefusedCase{"empty_second_string", make_blob(encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 0, u"a", u""), {}),
            0},
        RefusedCase{"second_string_of_4096_units",
            make_blob(encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 0, u"a", std::u16string(4096, u's')), {}), 0},
        RefusedCase{"second_string_missing", make_blob(link_without_second_string(), {}), 0},
        RefusedCase{"bytes_after_last_entry",
            make_blob(concat({encode_entry(ENTRY_FLAG_LAST, 0, u"a"), {0, 0}}), {}), 0}
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.label);
        const uint64_t length = c.length != 0 ? c.length : c.blob.size();
        EXPECT_EXIT(
            {
                unit::stdout_to_stderr();
                walk(c.blob.data(), length);
                exit(0);
            },
            unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
    }
}

// ---- cut at every length ---------------------------------------------------------------------------------

// Two entries (the second a link with its second string), five compressed bytes, three trailing.
const std::vector<uint8_t> TABLE = concat({
    encode_entry(ENTRY_FLAG_BIT0, 3, u"a\\b"),
    encode_entry(ENTRY_FLAG_LINK | ENTRY_FLAG_LAST, 2, u"c", u"d"),
});
const std::vector<uint8_t> FULL_BLOB = make_blob(TABLE, {1, 2, 3, 4, 5}, {6, 7, 8});
const size_t NEEDED = 16 + TABLE.size() + 5;

// The header keeps its sizes, so every length short of header, table and stream is refused by the
// header check, and every longer one only adds trailing bytes. (One test with a death test per
// length, not one test per length: under Wine every test is a process start of its own.)
TEST(CutBlob, IsAcceptedOnlyWhenEverythingFits) {
    ASSERT_EQ(FULL_BLOB.size(), 64u);
    for (size_t length = 0; length <= FULL_BLOB.size(); ++length) {
        SCOPED_TRACE(length);
        const auto copy = exact_copy(FULL_BLOB, length);
        if (length >= NEEDED) {
            EXPECT_EQ(walk(copy.get(), length), 2u);
        } else {
            EXPECT_EXIT(
                {
                    unit::stdout_to_stderr();
                    walk(copy.get(), length);
                    exit(0);
                },
                unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
        }
    }
}

// The file table itself cut short, with the header telling the truth about the cut: only the
// empty table and the whole table are complete; every other cut ends inside an entry or before the
// last one and must be refused without reading a byte past the data.
TEST(CutTable, IsRefusedUnlessEmptyOrWhole) {
    ASSERT_EQ(TABLE.size(), 40u);
    for (size_t table_size = 0; table_size <= TABLE.size(); ++table_size) {
        SCOPED_TRACE(table_size);
        const std::vector<uint8_t> blob =
            make_blob_with_header(table_size, 0, std::vector<uint8_t>(TABLE.begin(), TABLE.begin() + table_size));
        const auto copy = exact_copy(blob, blob.size());
        if (table_size == 0 || table_size == TABLE.size()) {
            EXPECT_EQ(walk(copy.get(), blob.size()), table_size == 0 ? 0u : 2u);
        } else {
            EXPECT_EXIT(
                {
                    unit::stdout_to_stderr();
                    walk(copy.get(), blob.size());
                    exit(0);
                },
                unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
        }
    }
}

}  // namespace
