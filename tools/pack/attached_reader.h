// Reading attached data back: from a file that holds just the attached data, or from a packed
// executable, where it is found through its trailing bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "errors.h"
#include "extras_record.h"
#include "file_table.h"

namespace onefile::pack {

struct AttachedListing {
    std::uint64_t offset = 0;  // where the attached data starts in the file
    std::uint64_t length = 0;  // through the trailing bytes when there are any
    std::uint64_t table_size = 0;
    std::uint64_t compressed_size = 0;
    std::vector<TableEntry> entries;
    // The record of additions right behind the attached data, when there is one (list_attached()
    // and verify_attached() look for it; locate_attached() does not).
    std::optional<ExtrasRecord> extras;
};

// Finds attached data in `bytes`. Looks for trailing bytes (a zero byte, then a u64 that is its own
// offset from the attached data's start) whose header fits exactly in front of them and whose file
// table parses; of several candidates the longest wins. Failing that, accepts attached data without
// trailing bytes at offset 0 when its header and table are sound. nullopt when nothing fits.
std::optional<AttachedListing> locate_attached(std::span<const unsigned char> bytes);

// locate_attached() on a file, and read_extras_record() right behind what it found; throws PackError
// when the file cannot be read or holds no attached data, or the record there is not well formed or
// does not hold one time for each file.
AttachedListing list_attached(const std::filesystem::path& file);

struct VerifyReport {
    AttachedListing listing;
    std::uint64_t content_size = 0;  // the sum of the file sizes, which is what the stream yielded
    std::uint64_t frame_count = 0;
    // Frames that end in a content checksum, which was checked. Older packers wrote none: their
    // frames can hide a damaged byte that still decodes.
    std::uint64_t checksummed_frames = 0;
};

// list_attached() plus what the launcher would run into only while extracting: decompresses the
// whole stream with a default decompression context (so at most a 2^27-byte window, and every
// content checksum checked) and requires it to end on a frame boundary exactly at the compressed
// size, with nothing after the frame that completes the content, and to yield exactly the sum of
// the file sizes. Also refuses what list_attached() refuses, an empty file table, a link entry, a
// name the launcher refuses (name_containment_problem()) and a name that occurs twice. Nothing is
// written. Throws PackError describing the first problem; a damaged stream's message names the
// file where decoding failed, or for a checksum that does not match (which says only that some
// byte of the frame differs) the files of the frame, first and last.
VerifyReport verify_attached(const std::filesystem::path& file);

}  // namespace onefile::pack
