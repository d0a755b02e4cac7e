// A damaged executable never runs: with the content checksum the packer writes, every change of
// the compressed stream is found before the parent starts its child. Data without a checksum, as
// older packers wrote it, is read as before.
#include <gtest/gtest.h>

#include <zstd_errors.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/state.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/extract.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace tp = test_platform;

const std::vector<unit::AppFile> FILES = {
    {u"main.bin", unit::noise(5000, 7)},
    {u"lib\\data.txt", std::string(40000, 'd') + "end"},
    {u"last", unit::noise(3000, 9)},
};

class Integrity : public unit::ExtractionTest {
protected:
    static void expect_decode_error(const std::vector<uint8_t>& blob) {
        EXPECT_EXIT(
            {
                unit::stdout_to_stderr();
                extract(blob);
                exit(0);
            },
            unit::reported_failure(), unit::plain_message("Error, couldn't decode attached data."));
    }
};

// Where the compressed stream lies in a blob made by make_blob / make_application.
size_t stream_start(const std::vector<uint8_t>& blob) {
    uint64_t table_size = 0;
    for (int i = 7; i >= 0; --i) table_size = (table_size << 8) | blob[i];
    return 16 + static_cast<size_t>(table_size);
}

std::vector<uint8_t> with_compressed_size(std::vector<uint8_t> blob, uint64_t size) {
    for (int i = 0; i < 8; ++i) blob[8 + i] = static_cast<uint8_t>(size >> (8 * i));
    return blob;
}

TEST_F(Integrity, ChecksummedApplicationExtractsWhole) {
    const fs::path target = use_target();
    extract(unit::make_application(FILES, true));
    EXPECT_EQ(unit::read_file(target / "main.bin"), FILES[0].content);
    EXPECT_EQ(unit::read_file(target / "lib" / "data.txt"), FILES[1].content);
    EXPECT_EQ(unit::read_file(target / "last"), FILES[2].content);
}

TEST_F(Integrity, EveryChangedByteOfTheStreamIsRefused) {
    const std::vector<uint8_t> blob = unit::make_application(FILES, true);
    const size_t start = stream_start(blob);
    const size_t size = blob.size() - start;
    // The frame header, spread positions through the blocks, and the checksum at the end. (Offset 5,
    // the window size, is the one byte whose change can leave the content intact: see below.)
    std::vector<size_t> offsets = {0, 3, 4, 6, 7, size - 4, size - 3, size - 1};
    for (size_t k = 1; k <= 16; ++k) offsets.push_back(k * size / 17);
    for (const size_t offset : offsets) {
        SCOPED_TRACE("stream offset " + std::to_string(offset) + " of " + std::to_string(size));
        std::vector<uint8_t> damaged = blob;
        damaged[start + offset] ^= 0x01;
        use_target("target-" + std::to_string(offset));
        expect_decode_error(damaged);
    }
}

TEST_F(Integrity, WindowSizeChangeThatKeepsTheContentIsHarmless) {
    // The checksum covers the content, not the frame header: a slightly different window that still
    // holds the history decodes the same bytes, and the files are whole.
    std::vector<uint8_t> blob = unit::make_application(FILES, true);
    blob[stream_start(blob) + 5] ^= 0x01;
    const fs::path target = use_target();
    extract(blob);
    EXPECT_EQ(unit::read_file(target / "lib" / "data.txt"), FILES[1].content);
    EXPECT_EQ(unit::read_file(target / "last"), FILES[2].content);
}

TEST_F(Integrity, BytesAfterTheFrameAreRefused) {
    std::vector<uint8_t> blob = unit::make_application(FILES, true);
    const size_t size = blob.size() - stream_start(blob);
    blob.insert(blob.end(), {0x28, 0xB5, 0x2F, 0xFD, 0});
    use_target();
    expect_decode_error(with_compressed_size(blob, size + 5));
}

TEST_F(Integrity, FrameCutShortIsRefused) {
    const std::vector<uint8_t> blob = unit::make_application(FILES, true);
    const size_t size = blob.size() - stream_start(blob);
    // Without its checksum the frame does not end inside the compressed size.
    use_target();
    expect_decode_error(with_compressed_size(blob, size - 4));
}

TEST_F(Integrity, ContentBeyondTheFilesIsRefused) {
    // The table accounts for fewer bytes than the checksummed frame holds.
    std::vector<uint8_t> table = unit::encode_entry(ENTRY_FLAG_LAST, 10, u"main.bin");
    use_target();
    expect_decode_error(unit::make_blob(table, unit::zstd_frame("0123456789 and more", 3, true)));
}

TEST_F(Integrity, WithoutAChecksumTheEndIsNotExamined) {
    // Older executables: excess content and bytes after the frame stay unread, as before.
    const fs::path target = use_target();
    std::vector<uint8_t> stream = unit::zstd_frame("0123456789 and more", 3, false);
    stream.insert(stream.end(), {1, 2, 3});
    extract(unit::make_blob(unit::encode_entry(ENTRY_FLAG_LAST, 10, u"main.bin"), stream));
    EXPECT_EQ(unit::read_file(target / "main.bin"), "0123456789");
}

TEST_F(Integrity, DecoderOutOfMemoryIsReportedAsSuch) {
    // The frame's window is allocated by the library on its first call; a limit smaller than the
    // window makes that allocation fail.
    const std::vector<uint8_t> blob = unit::make_application(FILES, true);
    use_target();
    tp::fail(tp::Op::Decompress, 1, ZSTD_error_memory_allocation);
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't allocate memory."));
}

}  // namespace
