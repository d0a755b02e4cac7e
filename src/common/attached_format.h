// The attached data format, defined once for the launcher that reads it and the packer that writes
// and checks it: a 16-byte header (file table size, compressed size), the file table, one
// compressed stream, and trailing bytes. Integers are little-endian and nothing is aligned. Every
// size comes from the executable and is checked against what remains before it is used.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t ENTRY_FLAG_BIT0 = 1;  // an executable file where the platform has that mode
inline constexpr uint32_t ENTRY_FLAG_LINK = 2;  // a second string follows the name
inline constexpr uint32_t ENTRY_FLAG_LAST = 4;  // the last entry of the file table
inline constexpr uint32_t ENTRY_FLAGS_KNOWN = ENTRY_FLAG_BIT0 | ENTRY_FLAG_LINK | ENTRY_FLAG_LAST;

inline constexpr uint64_t ATTACHED_HEADER_SIZE = 16;
// A zero byte and the u64 offset of that value from the start of the attached data.
inline constexpr uint64_t ATTACHED_TRAILER_SIZE = 9;
inline constexpr uint64_t MAX_FILE_TABLE_SIZE = 0x10000000;
// Names and second strings: 1 to 4095 UTF-16 code units, then a NUL code unit.
inline constexpr size_t MAX_NAME_LENGTH = 4095;
// Flags (4 bytes) and file size (8 bytes) in front of the name.
inline constexpr uint64_t ENTRY_FIXED_SIZE = 12;

struct FileEntry {
    uint32_t flags;
    uint64_t size;
    const uint8_t* name;  // UTF-16LE code units inside the attached data, not aligned
    size_t name_length;
    const uint8_t* second;  // only with ENTRY_FLAG_LINK
    size_t second_length;
};

struct AttachedHeader {
    uint64_t table_size;
    uint64_t compressed_size;
};

// What is wrong with a file table entry; the packer names it, the launcher only refuses.
enum class EntryDefect {
    None,
    CutShort,        // fewer than 12 bytes left where an entry begins
    UnknownFlags,    // a flag bit above bit 2
    StringRunsPast,  // no NUL before the end of the file table
    StringTooLong,   // no NUL within 4096 code units
    StringEmpty,     // the NUL at index 0
};

struct EntryResult {
    EntryDefect defect;
    bool in_second;       // the string defects: whether the second string has it
    const uint8_t* next;  // with EntryDefect::None, where the next entry begins
};

uint64_t load_le64(const uint8_t* in);
uint32_t load_le32(const uint8_t* in);

// Reads and checks the header of `length` bytes of attached data at `data`: at least 16 bytes, a
// file table of at most 0x10000000 bytes that fits, and a compressed stream that fits after it.
// False when any check fails; `header` is then not to be used.
bool read_attached_header(const uint8_t* data, uint64_t length, AttachedHeader* header);

// Parses the entry at `cursor`, which lies inside a file table ending at `table_end`, into
// `entry`. The result names the first defect found, in the order the launcher checks them.
EntryResult read_entry_at(const uint8_t* cursor, const uint8_t* table_end, FileEntry* entry);

// The name's code unit `index` (little-endian, read byte-wise).
wchar_t entry_name_unit(const FileEntry& entry, size_t index);

// True when a file entry's name stays below the target directory: not empty, no ".." component, no
// rooted ("\\x", "/x") or drive-qualified ("C:x") form. Both separators count, whatever the system:
// the packer writes backslashes, and a slash is a separator on Windows. The packer refuses what the
// launcher would refuse, with the same rule.
template <typename Unit>
bool entry_name_is_contained(const Unit* name, size_t length) {
    auto is_separator = [](Unit c) { return c == Unit('\\') || c == Unit('/'); };
    if (length == 0 || is_separator(name[0])) return false;
    if (length >= 2 && name[1] == Unit(':')) return false;  // "C:..." is relative to a drive, not to us
    size_t component_start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || is_separator(name[i])) {
            if (i - component_start == 2 && name[component_start] == Unit('.') &&
                name[component_start + 1] == Unit('.')) {
                return false;
            }
            component_start = i + 1;
        }
    }
    return true;
}
