// The packer's side of the attached data's fixed parts: encoding the header, the file table and the
// 9 trailing bytes, and parsing a table into owned entries. The format itself (sizes, flags,
// limits, the entry reader) is the launcher's own, in common/attached_format.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/attached_format.h"
#include "errors.h"

namespace onefile::pack {

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
constexpr std::uint64_t encoded_entry_size(std::uint64_t name_units) { return ENTRY_FIXED_SIZE + 2 * (name_units + 1); }

// Serialises the entries exactly as given (flags included, nothing added or checked), so tests can
// also build tables the launcher must refuse.
std::vector<unsigned char> encode_file_table(const std::vector<TableEntry>& entries);

// Parses a file table with the launcher's own entry reader: entries until the one with
// ENTRY_FLAG_LAST, which must end the table exactly. An empty table has no entries. Throws
// PackError naming the offending entry's offset and what is wrong with it.
std::vector<TableEntry> parse_file_table(std::span<const unsigned char> table);

// Why the launcher would refuse `name` as a file table name, or "" when it accepts it. The decision
// is the launcher's own entry_name_is_contained(); the text only says which part of the rule the
// name breaks, e.g. "begins with 'x:', which the launcher takes for a drive".
std::string name_containment_problem(std::u16string_view name);

// The 16-byte header and the 9 trailing bytes for an attached data of the given part sizes.
std::vector<unsigned char> encode_attached_header(std::uint64_t table_size, std::uint64_t compressed_size);
std::vector<unsigned char> encode_attached_trailer(std::uint64_t table_size, std::uint64_t compressed_size);

void store_le64(unsigned char* out, std::uint64_t value);

}  // namespace onefile::pack
