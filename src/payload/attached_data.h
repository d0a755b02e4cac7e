// Reader of the attached data: a 16-byte header (file table size, compressed size), the file
// table, one compressed stream, and trailing bytes that are never read. Every size comes from the
// executable and is checked against what remains before it is used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bootstrap/state.h"

inline constexpr uint32_t ENTRY_FLAG_BIT0 = 1;  // an executable file where the platform has that mode
inline constexpr uint32_t ENTRY_FLAG_LINK = 2;  // a second string follows the name
inline constexpr uint32_t ENTRY_FLAG_LAST = 4;  // the last entry of the file table
inline constexpr uint64_t MAX_FILE_TABLE_SIZE = 0x10000000;
inline constexpr size_t MAX_NAME_LENGTH = 4095;

struct FileEntry {
    uint32_t flags;
    uint64_t size;
    const uint8_t* name;  // UTF-16LE code units inside the attached data, not aligned
    size_t name_length;
    const uint8_t* second;
    size_t second_length;
};

// Where the attached data lies; set by the entry point before anything reads it.
void set_attached_data(const uint8_t* start, uint64_t length);

// Checks the header (in the parent role also that there is one), prepares the file table walk and
// arms the cleanup. Any failed check ends the process with "couldn't find attached data header".
void validate_attached_data_header(Role role);
// Parses the entry at the cursor and moves past it; a malformed entry ends the process.
FileEntry read_file_entry();
// Ends the process unless the cursor stands exactly at the end of the file table.
void file_table_fully_read();

bool file_table_empty();
const uint8_t* compressed_stream_start();
uint64_t compressed_stream_size();

// The name's code unit `index` (little-endian, read byte-wise).
wchar_t entry_name_unit(const FileEntry& entry, size_t index);
