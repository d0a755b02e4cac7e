// The attached data's fixed parts: the 16-byte header, the file table and the 9 trailing bytes, as
// the launcher reads them. Integers are little-endian and nothing is aligned.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors.h"

namespace onefile::pack {

inline constexpr std::uint32_t ENTRY_FLAG_BIT0 = 1;  // set by us on files executable by their owner
inline constexpr std::uint32_t ENTRY_FLAG_LINK = 2;  // a second string follows; never written by us
inline constexpr std::uint32_t ENTRY_FLAG_LAST = 4;
inline constexpr std::uint32_t ENTRY_FLAGS_KNOWN = ENTRY_FLAG_BIT0 | ENTRY_FLAG_LINK | ENTRY_FLAG_LAST;

inline constexpr std::uint64_t ATTACHED_HEADER_SIZE = 16;
inline constexpr std::uint64_t ATTACHED_TRAILER_SIZE = 9;
inline constexpr std::uint64_t MAX_FILE_TABLE_SIZE = 0x10000000;
inline constexpr std::size_t MAX_NAME_UNITS = 4095;

// One file table entry. `name` is relative to the launcher's target directory with backslash
// separators; `second` is present only with ENTRY_FLAG_LINK.
struct TableEntry {
    std::uint32_t flags = 0;
    std::uint64_t size = 0;
    std::u16string name;
    std::u16string second;

    bool operator==(const TableEntry&) const = default;
};

// Bytes an entry with a name of `name_units` code units takes in the table (no second string).
constexpr std::uint64_t encoded_entry_size(std::uint64_t name_units)
{
    return 12 + 2 * (name_units + 1);
}

// Serialises the entries exactly as given (flags included, nothing added or checked), so tests can
// also build tables the launcher must refuse.
std::vector<unsigned char> encode_file_table(const std::vector<TableEntry>& entries);

// Parses a file table with the launcher's own checks: entries until the one with ENTRY_FLAG_LAST,
// which must end the table exactly; names of 1 to 4095 code units ended by a NUL inside the table;
// no flag bits above bit 2. An empty table has no entries. Throws PackError naming the offending
// entry's offset.
std::vector<TableEntry> parse_file_table(std::span<const unsigned char> table);

// The 16-byte header and the 9 trailing bytes for an attached data of the given part sizes.
std::vector<unsigned char> encode_attached_header(std::uint64_t table_size, std::uint64_t compressed_size);
std::vector<unsigned char> encode_attached_trailer(std::uint64_t table_size, std::uint64_t compressed_size);

void store_le64(unsigned char* out, std::uint64_t value);
std::uint64_t load_le64(const unsigned char* in);
std::uint32_t load_le32(const unsigned char* in);

}  // namespace onefile::pack
