// Finding the frames of the compressed stream without decoding them: each frame's header and block
// headers give its compressed length, and the header of a frame written for parallel extraction
// gives its content size. Pure: reads only the bytes it is given, checking each length against
// what remains before using it.
#pragma once

#include <cstddef>
#include <cstdint>

struct FrameSpan {
    uint64_t offset;           // from the start of the compressed stream
    uint64_t compressed_size;  // header, blocks and checksum
    uint64_t content_size;     // from the frame header
    uint64_t window_size;      // what a decoder holds for it
};

// The largest window a decoder with default parameters accepts (2^27 bytes).
inline constexpr uint64_t MAX_FRAME_WINDOW = uint64_t{1} << 27;

// Walks the `size` bytes at `stream` as frames back to back and stores up to `capacity` of them in
// `frames`. Returns how many it found, or 0 when the stream is anything but a sequence of plain
// frames that each carry their content size and a content checksum, need a window of at most
// 2^27 bytes and end exactly where the next begins (the last where the stream ends), or when there
// are more than `capacity` of them. A 0 says nothing about whether the data is intact: a reader
// that gets it reads the stream in order, which reports every damage as it meets it.
size_t scan_frames(const uint8_t* stream, uint64_t size, FrameSpan* frames, size_t capacity);
