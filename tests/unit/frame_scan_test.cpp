// The launcher finds the frames of its compressed stream from their headers alone; whatever it
// cannot account for byte by byte makes it read the stream in order instead.
#include <gtest/gtest.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <string>
#include <vector>

#include "payload/frame_scan.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// Contents that give every kind of block: stored (noise), a single repeated byte, and text.
const std::vector<std::string> CONTENTS = {
    unit::noise(300000, 1),
    std::string(200000, 'r'),
    std::string(5000, 'x') + unit::noise(70000, 2) + "text text text text",
    "small",
};

size_t scan(const Bytes& stream, FrameSpan* spans, size_t capacity) {
    return scan_frames(stream.data(), stream.size(), spans, capacity);
}

TEST(FrameScan, FindsEveryFrameWhereTheLibraryDoes) {
    Bytes stream;
    for (const std::string& content : CONTENTS) append(stream, unit::sized_frame(content, 1));
    // A frame whose window is smaller than its content is not a single segment: it has a window
    // descriptor.
    const std::string long_text = unit::noise(1 << 21, 3);
    append(stream, unit::sized_frame(long_text, 1, 20));

    FrameSpan spans[8];
    ASSERT_EQ(scan(stream, spans, 8), 5u);
    size_t offset = 0;
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ZSTD_frameHeader header{};
        ASSERT_EQ(ZSTD_getFrameHeader(&header, stream.data() + offset, stream.size() - offset), 0u);
        EXPECT_EQ(spans[i].offset, offset);
        EXPECT_EQ(spans[i].compressed_size,
                  ZSTD_findFrameCompressedSize(stream.data() + offset, stream.size() - offset));
        EXPECT_EQ(spans[i].content_size, i < 4 ? CONTENTS[i].size() : long_text.size());
        EXPECT_EQ(spans[i].window_size, header.windowSize);
        offset += spans[i].compressed_size;
    }
    EXPECT_EQ(spans[4].window_size, uint64_t{1} << 20);
    EXPECT_EQ(offset, stream.size());
}

TEST(FrameScan, TakesTheTwoByteContentSizeWithItsOffset) {
    // Content sizes from 256 to 65791 are stored less 256 in two bytes.
    for (size_t size : {256u, 300u, 65791u}) {
        const Bytes frame = unit::sized_frame(std::string(size, 'a'), 3, 20);
        FrameSpan span{};
        ASSERT_EQ(scan(frame, &span, 1), 1u) << size;
        EXPECT_EQ(span.content_size, size);
    }
}

TEST(FrameScan, AStreamCutAnywhereInsideAFrameIsRefused) {
    Bytes stream = unit::sized_frame(CONTENTS[2], 3);
    const size_t first = stream.size();
    append(stream, unit::sized_frame(CONTENTS[3], 3));
    FrameSpan spans[4];
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        const Bytes part(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_EQ(scan(part, spans, 4), cut == first ? 1u : 0u) << cut;
    }
}

struct Refusal {
    const char* what;
    Bytes stream;
};

Bytes with_byte(Bytes bytes, size_t index, uint8_t value) {
    bytes[index] = value;
    return bytes;
}

std::vector<Refusal> refusals() {
    const Bytes good = unit::sized_frame(CONTENTS[3], 3);
    Bytes skippable = {0x50, 0x2A, 0x4D, 0x18, 1, 0, 0, 0, 0xAA};
    append(skippable, good);
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes reserved_block = good;
    // The first block header follows magic, descriptor and the one-byte content size of this
    // single-segment frame: block type 3 is reserved.
    reserved_block[6] = static_cast<uint8_t>(reserved_block[6] | 0x06);
    Bytes huge_window = {0x28, 0xB5, 0x2F, 0xFD, 0x44, 0x90, 0x05};  // 2 bytes of content size, window 2^28
    append(huge_window, Bytes{0x01, 0x00, 0x00, 0x61, 0, 0, 0, 0});
    return {
        {"no content size", unit::zstd_frame(CONTENTS[3], 3, true)},
        {"no checksum", with_byte(good, 4, static_cast<uint8_t>(good[4] & ~0x04))},
        {"a dictionary id", with_byte(good, 4, static_cast<uint8_t>(good[4] | 0x01))},
        {"the reserved descriptor bit", with_byte(good, 4, static_cast<uint8_t>(good[4] | 0x08))},
        {"another magic number", with_byte(good, 0, 0x29)},
        {"a skippable frame", skippable},
        {"bytes after the last frame", trailing},
        {"a reserved block type", reserved_block},
        {"a window over 2^27", huge_window},
        {"nothing but a magic number", Bytes{0x28, 0xB5, 0x2F, 0xFD}},
    };
}

TEST(FrameScan, RefusesWhatItCannotAccountFor) {
    for (const Refusal& refusal : refusals()) {
        FrameSpan spans[4];
        EXPECT_EQ(scan(refusal.stream, spans, 4), 0u) << refusal.what;
    }
}

TEST(FrameScan, RefusesMoreFramesThanItHasRoomFor) {
    Bytes stream;
    for (int i = 0; i < 3; ++i) append(stream, unit::sized_frame(CONTENTS[3], 3));
    FrameSpan spans[3];
    EXPECT_EQ(scan(stream, spans, 3), 3u);
    EXPECT_EQ(scan(stream, spans, 2), 0u);
}

TEST(FrameScan, AnEmptyStreamHasNoFrames) {
    FrameSpan span{};
    EXPECT_EQ(scan_frames(nullptr, 0, &span, 1), 0u);
}

}  // namespace
