#include "common/extras.h"

#include <cstring>

#include "common/attached_format.h"

namespace {

// The first field of `tag` in the record: its bytes and size. False when there is no record, no
// such field, or the record is malformed before the field is reached.
bool find_field(const uint8_t* record, uint64_t size, uint32_t tag, const uint8_t** field, uint64_t* field_size) {
    if (record == nullptr || size < EXTRAS_HEADER_SIZE || memcmp(record, EXTRAS_MAGIC, 8) != 0) return false;
    const uint64_t total = load_le64(record + 8);
    if (total < EXTRAS_HEADER_SIZE || total > size) return false;
    uint64_t cursor = EXTRAS_HEADER_SIZE;
    while (total - cursor >= EXTRAS_FIELD_HEADER_SIZE) {
        const uint32_t found_tag = load_le32(record + cursor);
        const uint64_t found_size = load_le64(record + cursor + 4);
        cursor += EXTRAS_FIELD_HEADER_SIZE;
        if (found_size > total - cursor) return false;
        if (found_tag == tag) {
            *field = record + cursor;
            *field_size = found_size;
            return true;
        }
        cursor += found_size;
    }
    return false;
}

}  // namespace

bool read_file_times(const uint8_t* record, uint64_t size, FileTimes* times) {
    *times = FileTimes{nullptr, 0};
    const uint8_t* field = nullptr;
    uint64_t field_size = 0;
    if (!find_field(record, size, EXTRAS_TAG_FILE_TIMES, &field, &field_size) || field_size < 8) return false;
    const uint64_t count = load_le64(field);
    if (count > (field_size - 8) / FILE_TIME_SIZE) return false;
    *times = FileTimes{field + 8, count};
    return true;
}

const uint8_t* read_cache_digest(const uint8_t* record, uint64_t size) {
    const uint8_t* field = nullptr;
    uint64_t field_size = 0;
    if (!find_field(record, size, EXTRAS_TAG_CACHE, &field, &field_size) || field_size != CACHE_DIGEST_SIZE) {
        return nullptr;
    }
    return field;
}

bool file_time_at(const FileTimes& times, uint64_t index, int64_t* seconds, uint32_t* nanoseconds) {
    if (times.entries == nullptr || index >= times.count) return false;
    const uint8_t* entry = times.entries + index * FILE_TIME_SIZE;
    *seconds = static_cast<int64_t>(load_le64(entry));
    *nanoseconds = load_le32(entry + 8);
    return *nanoseconds < 1000000000u;
}
