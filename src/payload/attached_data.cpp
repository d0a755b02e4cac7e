#include "payload/attached_data.h"

#include "bootstrap/errors.h"

namespace {

const uint8_t* g_data = nullptr;
uint64_t g_length = 0;

const uint8_t* g_table_start = nullptr;
const uint8_t* g_table_end = nullptr;
const uint8_t* g_cursor = nullptr;
uint64_t g_compressed_size = 0;

// The fields are not aligned to their width: read them byte by byte.
uint64_t read_u64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
    return value;
}

uint32_t read_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Finds the NUL of a string that starts at `start`: 1 to 4095 code units, all inside the table.
// Returns the length; a string that breaks a bound ends the process.
size_t read_string_length(const uint8_t* start) {
    const uint64_t available = static_cast<uint64_t>(g_table_end - start);
    for (size_t i = 0;; ++i) {
        if (i > MAX_NAME_LENGTH) exit_bad_attached_data();
        if (available / 2 < i + 1) exit_bad_attached_data();
        if (start[2 * i] == 0 && start[2 * i + 1] == 0) {
            if (i == 0) exit_bad_attached_data();
            return i;
        }
    }
}

}  // namespace

void set_attached_data(const uint8_t* start, uint64_t length) {
    g_data = start;
    g_length = length;
}

void validate_attached_data_header(Role role) {
    // Checked in the child role too: a child reached by a forged parent id must not read past the
    // data either.
    (void)role;
    if (g_length < 16) exit_bad_attached_data();
    const uint64_t table_size = read_u64(g_data);
    const uint64_t compressed_size = read_u64(g_data + 8);
    // Subtractions stay on the trusted side: each limit is computed from checked quantities.
    if (table_size > g_length - 16) exit_bad_attached_data();
    if (table_size > MAX_FILE_TABLE_SIZE) exit_bad_attached_data();
    if (compressed_size > g_length - table_size - 16) exit_bad_attached_data();

    g_state.cleanup_armed.store(true);
    g_table_start = g_data + 16;
    g_table_end = g_table_start + table_size;
    g_cursor = g_table_start;
    g_compressed_size = compressed_size;
}

FileEntry read_file_entry() {
    if (g_table_end - g_cursor < 12) exit_bad_attached_data();
    FileEntry entry{};
    entry.flags = read_u32(g_cursor);
    if ((entry.flags & ~(ENTRY_FLAG_BIT0 | ENTRY_FLAG_LINK | ENTRY_FLAG_LAST)) != 0) exit_bad_attached_data();
    entry.name = g_cursor + 12;
    entry.name_length = read_string_length(entry.name);
    const uint8_t* next = entry.name + 2 * (entry.name_length + 1);
    if ((entry.flags & ENTRY_FLAG_LINK) != 0) {
        entry.second = next;
        entry.second_length = read_string_length(entry.second);
        next = entry.second + 2 * (entry.second_length + 1);
    }
    entry.size = read_u64(g_cursor + 4);
    g_cursor = next;
    return entry;
}

void file_table_fully_read() {
    if (g_cursor != g_table_end) exit_bad_attached_data();
}

bool file_table_empty() { return g_table_start == g_table_end; }
const uint8_t* compressed_stream_start() { return g_table_end; }
uint64_t compressed_stream_size() { return g_compressed_size; }

wchar_t entry_name_unit(const FileEntry& entry, size_t index) {
    return static_cast<wchar_t>(entry.name[2 * index] | (entry.name[2 * index + 1] << 8));
}
