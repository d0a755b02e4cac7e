// The record of additions that travels beside the attached data: what the packer knows about the
// application beyond the attached data's own format (which stays exactly as it is, so a launcher
// that knows nothing of the record reads the data alike). Written by the packer right behind the
// attached data; an executable without it behaves as before. Defined once, for both.
//
// Layout, little-endian: the magic "ONEFILEX" (8 bytes), the record's whole size in bytes (u64,
// magic included), then fields, each a tag (u32), a size (u64) and that many bytes. Fields of
// unknown tags are skipped.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr unsigned char EXTRAS_MAGIC[8] = {'O', 'N', 'E', 'F', 'I', 'L', 'E', 'X'};
inline constexpr uint64_t EXTRAS_HEADER_SIZE = 16;
inline constexpr uint64_t EXTRAS_FIELD_HEADER_SIZE = 12;

// The modification time of every file entry, in file-table order: a count (u64), then for each
// entry the seconds since 1970-01-01 UTC (i64, negative before) and the nanoseconds (u32, below
// 1,000,000,000).
inline constexpr uint32_t EXTRAS_TAG_FILE_TIMES = 1;
inline constexpr uint64_t FILE_TIME_SIZE = 12;

struct FileTimes {
    const uint8_t* entries;  // null when the record holds no times
    uint64_t count;
};

// Finds the file times in the record of `size` bytes at `record`. False, with `times` empty, when
// there is no record, no such field, or the record is malformed (a size that does not fit).
bool read_file_times(const uint8_t* record, uint64_t size, FileTimes* times);

// The time of entry `index`; false when there is none or it is out of range.
bool file_time_at(const FileTimes& times, uint64_t index, int64_t* seconds, uint32_t* nanoseconds);

// Cached extraction: the packer marked the executable to be unpacked once into the user's cache
// and run from there on later starts. The field holds the SHA-256 digest of the attached data
// (32 bytes), computed by the packer, so the launcher can name the cache entry of this very
// version without reading the data: the launcher trusts its own image.
inline constexpr uint32_t EXTRAS_TAG_CACHE = 2;
inline constexpr uint64_t CACHE_DIGEST_SIZE = 32;

// The digest of a record that marks cached extraction, or null when there is no record, no such
// field, a field of another size, or the record is malformed.
const uint8_t* read_cache_digest(const uint8_t* record, uint64_t size);
