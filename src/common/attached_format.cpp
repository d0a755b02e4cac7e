#include "common/attached_format.h"

namespace {

// Finds the NUL of a string that starts at `start`, checking each code unit's room before
// reading it. Sets `*length` on success.
EntryDefect read_string_length(const uint8_t* start, const uint8_t* table_end, size_t* length) {
    const uint64_t available = static_cast<uint64_t>(table_end - start);
    for (size_t i = 0;; ++i) {
        if (i > MAX_NAME_LENGTH) return EntryDefect::StringTooLong;
        if (available / 2 < i + 1) return EntryDefect::StringRunsPast;
        if (start[2 * i] == 0 && start[2 * i + 1] == 0) {
            if (i == 0) return EntryDefect::StringEmpty;
            *length = i;
            return EntryDefect::None;
        }
    }
}

}  // namespace

uint64_t load_le64(const uint8_t* in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

uint32_t load_le32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

bool read_attached_header(const uint8_t* data, uint64_t length, AttachedHeader* header) {
    if (length < ATTACHED_HEADER_SIZE) return false;
    const uint64_t table_size = load_le64(data);
    const uint64_t compressed_size = load_le64(data + 8);
    // Subtractions stay on the trusted side: each limit is computed from checked quantities.
    if (table_size > length - ATTACHED_HEADER_SIZE) return false;
    if (table_size > MAX_FILE_TABLE_SIZE) return false;
    if (compressed_size > length - table_size - ATTACHED_HEADER_SIZE) return false;
    header->table_size = table_size;
    header->compressed_size = compressed_size;
    return true;
}

EntryResult read_entry_at(const uint8_t* cursor, const uint8_t* table_end, FileEntry* entry) {
    if (table_end - cursor < static_cast<ptrdiff_t>(ENTRY_FIXED_SIZE)) return {EntryDefect::CutShort, false, nullptr};
    *entry = FileEntry{};
    entry->flags = load_le32(cursor);
    if ((entry->flags & ~ENTRY_FLAGS_KNOWN) != 0) return {EntryDefect::UnknownFlags, false, nullptr};
    entry->name = cursor + ENTRY_FIXED_SIZE;
    EntryDefect defect = read_string_length(entry->name, table_end, &entry->name_length);
    if (defect != EntryDefect::None) return {defect, false, nullptr};
    const uint8_t* next = entry->name + 2 * (entry->name_length + 1);
    if ((entry->flags & ENTRY_FLAG_LINK) != 0) {
        entry->second = next;
        defect = read_string_length(entry->second, table_end, &entry->second_length);
        if (defect != EntryDefect::None) return {defect, true, nullptr};
        next = entry->second + 2 * (entry->second_length + 1);
    }
    entry->size = load_le64(cursor + 4);
    return {EntryDefect::None, false, next};
}

wchar_t entry_name_unit(const FileEntry& entry, size_t index) {
    return static_cast<wchar_t>(entry.name[2 * index] | (entry.name[2 * index + 1] << 8));
}
