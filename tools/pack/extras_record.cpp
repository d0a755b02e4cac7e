#include "extras_record.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/extras.h"
#include "unicode.h"

namespace onefile::pack {

namespace {

void append_le(std::vector<unsigned char>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

[[noreturn]] void throw_damaged(const std::string& what) {
    throw PackError("the record behind the attached data is damaged: " + what);
}

}  // namespace

std::optional<std::int64_t> source_date_epoch_from_environment() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || text[0] == '\0') {
        return std::nullopt;
    }
    const char* end = text + std::strlen(text);
    std::int64_t seconds = 0;
    const auto [stop, error] = std::from_chars(text, end, seconds);
    if (error != std::errc() || stop != end) {
        throw PackError(std::string("SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, not '") +
                        escape_for_display(text, true) + "'");
    }
    return seconds;
}

FileTime clamp_to_epoch(FileTime time, std::optional<std::int64_t> epoch) {
    if (epoch && (time.seconds > *epoch || (time.seconds == *epoch && time.nanoseconds > 0))) {
        return FileTime{*epoch, 0};
    }
    return time;
}

std::vector<unsigned char> encode_file_times_record(const std::vector<FileTime>& times,
                                                    std::optional<std::int64_t> epoch) {
    const std::uint64_t field_size = 8 + FILE_TIME_SIZE * times.size();
    std::vector<unsigned char> out(EXTRAS_MAGIC, EXTRAS_MAGIC + sizeof EXTRAS_MAGIC);
    append_le(out, EXTRAS_HEADER_SIZE + EXTRAS_FIELD_HEADER_SIZE + field_size, 8);
    append_le(out, EXTRAS_TAG_FILE_TIMES, 4);
    append_le(out, field_size, 8);
    append_le(out, times.size(), 8);
    for (FileTime time : times) {
        // To 100 ns, the finest a Windows file system keeps: a pack made on either host records
        // the same times, and so the same bytes, for the same files.
        time.nanoseconds -= time.nanoseconds % 100;
        time = clamp_to_epoch(time, epoch);
        append_le(out, static_cast<std::uint64_t>(time.seconds), 8);
        append_le(out, time.nanoseconds, 4);
    }
    return out;
}

void add_cache_field(std::vector<unsigned char>& record, const Sha256Digest& digest) {
    if (record.empty()) {
        record.assign(EXTRAS_MAGIC, EXTRAS_MAGIC + sizeof EXTRAS_MAGIC);
        append_le(record, EXTRAS_HEADER_SIZE, 8);
    }
    append_le(record, EXTRAS_TAG_CACHE, 4);
    append_le(record, CACHE_DIGEST_SIZE, 8);
    record.insert(record.end(), digest.begin(), digest.end());
    const std::uint64_t total = record.size();
    for (int i = 0; i < 8; ++i) {
        record[8 + i] = static_cast<unsigned char>(total >> (8 * i));
    }
}

std::string cache_entry_name(const std::string& executable_file_name, const Sha256Digest& digest) {
    std::string name = executable_file_name;
    if (name.size() >= 4) {
        std::string suffix = name.substr(name.size() - 4);
        for (char& c : suffix) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (suffix == ".exe") {
            name.resize(name.size() - 4);
        }
    }
    // The launcher counts UTF-16 code units; the cut never splits a character.
    const std::u16string units = utf8_to_utf16(name).value_or(std::u16string());
    if (units.size() > 64) {
        std::size_t keep = 64;
        if (units[keep - 1] >= 0xD800 && units[keep - 1] <= 0xDBFF) {
            --keep;
        }
        name = utf16_to_utf8(units.substr(0, keep));
    }
    return name + "-" + digest_hex(digest, 8);
}

std::optional<ExtrasRecord> read_extras_record(std::span<const unsigned char> bytes, std::uint64_t attached_end,
                                               const std::vector<TableEntry>& entries) {
    if (attached_end > bytes.size()) {
        return std::nullopt;
    }
    const std::uint64_t available = bytes.size() - attached_end;
    const unsigned char* record = bytes.data() + attached_end;
    if (available < sizeof EXTRAS_MAGIC || std::memcmp(record, EXTRAS_MAGIC, sizeof EXTRAS_MAGIC) != 0) {
        return std::nullopt;
    }
    if (available < EXTRAS_HEADER_SIZE) {
        throw_damaged("the file ends inside its 16-byte header");
    }
    ExtrasRecord found;
    found.offset = attached_end;
    found.size = load_le64(record + 8);
    if (found.size < EXTRAS_HEADER_SIZE) {
        throw_damaged("its stated size, " + std::to_string(found.size) + " bytes, is less than its own header");
    }
    if (found.size > available) {
        throw_damaged("its stated size, " + std::to_string(found.size) + " bytes, runs past the end of the file, " +
                      std::to_string(available) + " bytes behind the attached data");
    }

    // The layout first, field by field, so that a message can say what is wrong. The launcher skips
    // fields it does not know; so does this.
    bool times_seen = false;
    bool cache_seen = false;
    std::uint64_t cursor = EXTRAS_HEADER_SIZE;
    while (cursor < found.size) {
        if (found.size - cursor < EXTRAS_FIELD_HEADER_SIZE) {
            throw_damaged("its last " + std::to_string(found.size - cursor) + " bytes are too few for a field");
        }
        const std::uint32_t tag = load_le32(record + cursor);
        const std::uint64_t field_size = load_le64(record + cursor + 4);
        const std::uint64_t field_start = cursor + EXTRAS_FIELD_HEADER_SIZE;
        if (field_size > found.size - field_start) {
            throw_damaged("the field at byte " + std::to_string(cursor) + " (tag " + std::to_string(tag) + ") is " +
                          std::to_string(field_size) + " bytes long, but only " +
                          std::to_string(found.size - field_start) + " bytes of the record follow its header");
        }
        if (tag == EXTRAS_TAG_FILE_TIMES) {
            if (times_seen) {
                throw_damaged("it holds the file times twice");
            }
            times_seen = true;
            const std::uint64_t count = field_size < 8 ? 0 : load_le64(record + field_start);
            if (field_size < 8 || (field_size - 8) / FILE_TIME_SIZE != count || (field_size - 8) % FILE_TIME_SIZE) {
                throw_damaged("its file times field is " + std::to_string(field_size) +
                              " bytes long, which is not 8 bytes and 12 for each of the " + std::to_string(count) +
                              " times it counts");
            }
            if (count != entries.size()) {
                throw_damaged("it holds the times of " + std::to_string(count) + " files, but the file table has " +
                              std::to_string(entries.size()));
            }
        }
        if (tag == EXTRAS_TAG_CACHE) {
            if (cache_seen) {
                throw_damaged("it marks cached extraction twice");
            }
            cache_seen = true;
            if (field_size != CACHE_DIGEST_SIZE) {
                throw_damaged("its cache field is " + std::to_string(field_size) + " bytes long, not " +
                              std::to_string(CACHE_DIGEST_SIZE));
            }
            Sha256Digest digest{};
            std::memcpy(digest.data(), record + field_start, digest.size());
            found.cache_digest = digest;
        }
        cursor = field_start + field_size;
    }
    if (!times_seen) {
        return found;
    }

    // The times as the launcher reads them.
    FileTimes times{};
    if (!read_file_times(record, found.size, &times) || times.count != entries.size()) {
        throw_damaged("the launcher cannot read its file times");
    }
    std::vector<FileTime> out;
    out.reserve(entries.size());
    for (std::uint64_t index = 0; index < times.count; ++index) {
        FileTime time;
        if (!file_time_at(times, index, &time.seconds, &time.nanoseconds)) {
            throw_damaged("the time of '" + escape_for_display(utf16_to_utf8(entries[index].name), false) + "' has " +
                          std::to_string(time.nanoseconds) + " nanoseconds, not fewer than 1000000000");
        }
        out.push_back(time);
    }
    found.file_times = std::move(out);
    return found;
}

std::string format_file_time(FileTime time) {
    // Whole days since 1970 and the second of the day, rounding towards the past.
    std::int64_t days = time.seconds / 86400;
    std::int64_t second_of_day = time.seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        --days;
    }
    // The civil date of a day count, in 400-year eras of 146097 days that begin on 1 March.
    const std::int64_t shifted = days + 719468;  // days since 0000-03-01
    const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const std::int64_t day_of_era = shifted - era * 146097;
    const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
    const std::int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const std::int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    char text[80];
    const char* sign = year < 0 ? "-" : year > 9999 ? "+" : "";
    int length =
        std::snprintf(text, sizeof text, "%s%04lld-%02lld-%02lldT%02lld:%02lld:%02lld", sign,
                      static_cast<long long>(year < 0 ? -year : year), static_cast<long long>(month),
                      static_cast<long long>(day), static_cast<long long>(second_of_day / 3600),
                      static_cast<long long>(second_of_day / 60 % 60), static_cast<long long>(second_of_day % 60));
    if (time.nanoseconds != 0) {
        length += std::snprintf(text + length, sizeof text - length, ".%09u", static_cast<unsigned>(time.nanoseconds));
    }
    return std::string(text, static_cast<std::size_t>(length)) + "Z";
}

}  // namespace onefile::pack
