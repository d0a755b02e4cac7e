// The record of additions the packer places right behind the attached data (its layout is the
// launcher's own, in common/extras.h), and the file modification times it carries: read from the
// application directory, clamped for reproducible packs, encoded, found again in a packed
// executable, checked, and shown.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "errors.h"
#include "file_table.h"
#include "sha256.h"

namespace onefile::pack {

// A modification time as the record stores it.
struct FileTime {
    std::int64_t seconds = 0;       // since 1970-01-01 00:00:00 UTC, negative before
    std::uint32_t nanoseconds = 0;  // below 1,000,000,000

    bool operator==(const FileTime&) const = default;
};

// $SOURCE_DATE_EPOCH as seconds since 1970, or nullopt when it is unset or empty. Throws PackError
// when it is anything but a decimal integer (a leading '-' allowed) that fits 64 bits: a pack
// meant to be reproducible must not quietly become one that is not.
std::optional<std::int64_t> source_date_epoch_from_environment();

// `time` itself, or exactly `epoch` seconds and 0 ns when `time` is later than that.
FileTime clamp_to_epoch(FileTime time, std::optional<std::int64_t> epoch);

// A record holding one field, the file times: `times` in file table order, each cut to a multiple
// of 100 ns (what Windows keeps, so that both hosts record alike) and clamped to `epoch`.
std::vector<unsigned char> encode_file_times_record(const std::vector<FileTime>& times,
                                                    std::optional<std::int64_t> epoch);

// Marks the executable for cached extraction: appends the field holding `digest` (that of the
// attached data) to `record`, which may be empty (a record of its own is then begun).
void add_cache_field(std::vector<unsigned char>& record, const Sha256Digest& digest);

// The name of the cache entry a marked executable unpacks into: its file name without a final
// ".exe" (any letter case), cut to 64 characters, a '-' and the first 16 hex digits of the digest.
std::string cache_entry_name(const std::string& executable_file_name, const Sha256Digest& digest);

// A record found right behind attached data.
struct ExtrasRecord {
    std::uint64_t offset = 0;  // where it starts in the file
    std::uint64_t size = 0;    // its whole size, magic included
    // The file times, in file table order; nullopt when the record has no such field.
    std::optional<std::vector<FileTime>> file_times;
    // The digest of an executable marked for cached extraction; nullopt when it is not marked.
    std::optional<Sha256Digest> cache_digest;
};

// The record that starts at `attached_end` in `bytes`, where attached data ends: nullopt when the
// bytes there do not begin with the magic (an executable packed without times, or with an older
// packer). Throws PackError when they do but the record is not well formed: its size does not fit
// the file, a field runs past its end or bytes too few for a field are left over, the file times
// field appears twice, or its size does not match its count or a time has 1,000,000,000
// nanoseconds or more; and when it holds times for a number of files other than that of `entries`,
// the attached data's file table; and when the cache field appears twice or is not 32 bytes long.
std::optional<ExtrasRecord> read_extras_record(std::span<const unsigned char> bytes, std::uint64_t attached_end,
                                               const std::vector<TableEntry>& entries);

// The time in ISO 8601 form, UTC: "2026-12-08T23:34:45Z", with the nanoseconds as nine digits
// after a '.' when they are not zero ("...45.123456789Z"). The proleptic Gregorian calendar covers
// every year; years before 0 or after 9999 carry a sign ("-0001-...", "+10000-...").
std::string format_file_time(FileTime time);

}  // namespace onefile::pack
