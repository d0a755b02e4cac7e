#include "payload/attached_data.h"

#include "common/errors.h"

namespace {

const uint8_t* g_data = nullptr;
uint64_t g_length = 0;

const uint8_t* g_table_start = nullptr;
const uint8_t* g_table_end = nullptr;
const uint8_t* g_cursor = nullptr;
uint64_t g_compressed_size = 0;
FileTimes g_file_times{nullptr, 0};
const uint8_t* g_cache_digest = nullptr;

}  // namespace

void set_attached_data(const uint8_t* start, uint64_t length) {
    g_data = start;
    g_length = length;
}

void set_attached_extras(const uint8_t* start, uint64_t length) {
    // A record that cannot be read is as good as none: the times are a courtesy, the files are
    // whole without them.
    read_file_times(start, length, &g_file_times);
    g_cache_digest = read_cache_digest(start, length);
}

const uint8_t* attached_cache_digest() { return g_cache_digest; }

const FileTimes& attached_file_times() { return g_file_times; }

void validate_attached_data_header() {
    AttachedHeader header{};
    if (!read_attached_header(g_data, g_length, &header)) exit_bad_attached_data();
    g_table_start = g_data + ATTACHED_HEADER_SIZE;
    g_table_end = g_table_start + header.table_size;
    g_cursor = g_table_start;
    g_compressed_size = header.compressed_size;
}

FileEntry read_file_entry() {
    FileEntry entry{};
    const EntryResult result = read_entry_at(g_cursor, g_table_end, &entry);
    if (result.defect != EntryDefect::None) exit_bad_attached_data();
    g_cursor = result.next;
    return entry;
}

void file_table_fully_read() {
    if (g_cursor != g_table_end) exit_bad_attached_data();
}

bool file_table_empty() { return g_table_start == g_table_end; }
const uint8_t* file_table_start() { return g_table_start; }
const uint8_t* compressed_stream_start() { return g_table_end; }
uint64_t compressed_stream_size() { return g_compressed_size; }
