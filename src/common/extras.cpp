#include "common/extras.h"

#include <cstring>

#include "common/attached_format.h"

bool read_file_times(const uint8_t* record, uint64_t size, FileTimes* times) {
    *times = FileTimes{nullptr, 0};
    if (record == nullptr || size < EXTRAS_HEADER_SIZE || memcmp(record, EXTRAS_MAGIC, 8) != 0) return false;
    const uint64_t total = load_le64(record + 8);
    if (total < EXTRAS_HEADER_SIZE || total > size) return false;
    uint64_t cursor = EXTRAS_HEADER_SIZE;
    while (total - cursor >= EXTRAS_FIELD_HEADER_SIZE) {
        const uint32_t tag = load_le32(record + cursor);
        const uint64_t field_size = load_le64(record + cursor + 4);
        cursor += EXTRAS_FIELD_HEADER_SIZE;
        if (field_size > total - cursor) return false;
        if (tag == EXTRAS_TAG_FILE_TIMES) {
            if (field_size < 8) return false;
            const uint64_t count = load_le64(record + cursor);
            if (count > (field_size - 8) / FILE_TIME_SIZE) return false;
            *times = FileTimes{record + cursor + 8, count};
            return true;
        }
        cursor += field_size;
    }
    return false;
}

bool file_time_at(const FileTimes& times, uint64_t index, int64_t* seconds, uint32_t* nanoseconds) {
    if (times.entries == nullptr || index >= times.count) return false;
    const uint8_t* entry = times.entries + index * FILE_TIME_SIZE;
    *seconds = static_cast<int64_t>(load_le64(entry));
    *nanoseconds = load_le32(entry + 8);
    return *nanoseconds < 1000000000u;
}
