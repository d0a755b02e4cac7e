#include "payload/frame_scan.h"

#include "common/attached_format.h"

namespace {

constexpr uint32_t FRAME_MAGIC = 0xFD2FB528;
constexpr uint64_t BLOCK_HEADER_SIZE = 3;
constexpr uint64_t CHECKSUM_SIZE = 4;

enum BlockType : uint32_t { RAW = 0, RLE = 1, COMPRESSED = 2, RESERVED = 3 };

uint64_t load_le(const uint8_t* in, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = width; i > 0; --i) value = (value << 8) | in[i - 1];
    return value;
}

// Reads the frame at `frame`, of which `available` bytes lie inside the stream. False when it is
// not a frame this reader accepts or runs past the stream.
bool scan_frame(const uint8_t* frame, uint64_t available, FrameSpan* span) {
    // Magic number and frame header descriptor.
    if (available < 5 || load_le32(frame) != FRAME_MAGIC) return false;
    const uint8_t descriptor = frame[4];
    const unsigned content_size_flag = descriptor >> 6;
    const bool single_segment = (descriptor & 0x20) != 0;
    const bool reserved = (descriptor & 0x08) != 0;
    const bool checksum = (descriptor & 0x04) != 0;
    const unsigned dictionary_flag = descriptor & 0x03;
    // A dictionary would have to be at hand to decode; the packer never names one.
    if (reserved || !checksum || dictionary_flag != 0) return false;
    static constexpr unsigned CONTENT_SIZE_WIDTHS[4] = {0, 2, 4, 8};
    const unsigned content_width =
        content_size_flag == 0 && single_segment ? 1 : CONTENT_SIZE_WIDTHS[content_size_flag];
    if (content_width == 0) return false;  // the content size is what tells which files the frame holds

    uint64_t position = 5;
    uint64_t window = 0;
    if (!single_segment) {
        if (available - position < 1) return false;
        const uint8_t window_descriptor = frame[position++];
        const unsigned exponent = window_descriptor >> 3;
        const unsigned mantissa = window_descriptor & 7;
        const unsigned window_log = 10 + exponent;
        if (window_log > 27) return false;
        const uint64_t base = uint64_t{1} << window_log;
        window = base + (base / 8) * mantissa;
    }
    if (available - position < content_width) return false;
    uint64_t content_size = load_le(frame + position, content_width);
    if (content_width == 2) content_size += 256;
    position += content_width;
    if (single_segment) window = content_size;
    if (window > MAX_FRAME_WINDOW) return false;

    for (;;) {
        if (available - position < BLOCK_HEADER_SIZE) return false;
        const uint32_t block_header = static_cast<uint32_t>(load_le(frame + position, 3));
        position += BLOCK_HEADER_SIZE;
        const bool last = (block_header & 1) != 0;
        const uint32_t type = (block_header >> 1) & 3;
        const uint64_t block_size = block_header >> 3;
        uint64_t payload = 0;
        if (type == RAW || type == COMPRESSED) {
            payload = block_size;
        } else if (type == RLE) {
            payload = 1;
        } else {
            return false;
        }
        if (available - position < payload) return false;
        position += payload;
        if (last) break;
    }
    if (available - position < CHECKSUM_SIZE) return false;
    position += CHECKSUM_SIZE;
    span->compressed_size = position;
    span->content_size = content_size;
    span->window_size = window;
    return true;
}

}  // namespace

size_t scan_frames(const uint8_t* stream, uint64_t size, FrameSpan* frames, size_t capacity) {
    size_t count = 0;
    uint64_t offset = 0;
    while (offset < size) {
        if (count == capacity) return 0;
        FrameSpan span{};
        if (!scan_frame(stream + offset, size - offset, &span)) return 0;
        span.offset = offset;
        frames[count++] = span;
        offset += span.compressed_size;
    }
    return count;
}
