#include "file_table.h"

#include <string>

#include "errors.h"
#include "unicode.h"

namespace onefile::pack {

void store_le64(unsigned char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

static void append_string(std::vector<unsigned char>& out, const std::u16string& text) {
    for (char16_t unit : text) {
        out.push_back(static_cast<unsigned char>(unit & 0xFF));
        out.push_back(static_cast<unsigned char>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

std::string name_containment_problem(std::u16string_view name) {
    if (entry_name_is_contained(name.data(), name.size())) {
        return "";
    }
    auto is_separator = [](char16_t unit) { return unit == u'\\' || unit == u'/'; };
    if (name.empty()) {
        return "is empty";
    }
    if (is_separator(name[0])) {
        return "begins with a separator, which roots it outside the target directory";
    }
    if (name.size() >= 2 && name[1] == u':') {
        return "begins with '" + escape_for_display(utf16_to_utf8(name.substr(0, 2)), false) +
               "', which the launcher takes for a drive";
    }
    return "has a '..' component, which leads out of the target directory";
}

std::vector<unsigned char> encode_file_table(const std::vector<TableEntry>& entries) {
    std::vector<unsigned char> out;
    for (const TableEntry& entry : entries) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<unsigned char>(entry.flags >> (8 * i)));
        }
        unsigned char size[8];
        store_le64(size, entry.size);
        out.insert(out.end(), size, size + 8);
        append_string(out, entry.name);
        if (entry.flags & ENTRY_FLAG_LINK) {
            append_string(out, entry.second);
        }
    }
    return out;
}

static std::u16string owned_string(const unsigned char* start, std::size_t length) {
    std::u16string out;
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char16_t>(start[2 * i] | start[2 * i + 1] << 8));
    }
    return out;
}

static std::string describe(EntryDefect defect, bool in_second) {
    const std::string what = in_second ? "second string" : "name";
    switch (defect) {
        case EntryDefect::CutShort:
            return "is cut short (the table ends without an entry marked last)";
        case EntryDefect::UnknownFlags:
            return "has unknown flag bits";
        case EntryDefect::StringRunsPast:
            return what + " runs past the end of the file table";
        case EntryDefect::StringTooLong:
            return what + " is longer than 4095 code units";
        case EntryDefect::StringEmpty:
            return what + " is empty";
        case EntryDefect::None:
            break;
    }
    return "is malformed";
}

std::vector<TableEntry> parse_file_table(std::span<const unsigned char> table) {
    std::vector<TableEntry> entries;
    if (table.empty()) {
        return entries;
    }
    const unsigned char* const start = table.data();
    const unsigned char* const end = start + table.size();
    const unsigned char* cursor = start;
    for (;;) {
        FileEntry parsed{};
        const EntryResult result = read_entry_at(cursor, end, &parsed);
        if (result.defect != EntryDefect::None) {
            std::string text = "file table entry at offset " + std::to_string(cursor - start) + " " +
                               describe(result.defect, result.in_second);
            if (result.defect == EntryDefect::UnknownFlags) {
                text += " (" + std::to_string(load_le32(cursor)) + ")";
            }
            throw PackError(text);
        }
        TableEntry entry;
        entry.flags = parsed.flags;
        entry.size = parsed.size;
        entry.name = owned_string(parsed.name, parsed.name_length);
        if (parsed.flags & ENTRY_FLAG_LINK) {
            entry.second = owned_string(parsed.second, parsed.second_length);
        }
        cursor = result.next;
        entries.push_back(std::move(entry));
        if (parsed.flags & ENTRY_FLAG_LAST) {
            break;
        }
    }
    if (cursor != end) {
        throw PackError(std::to_string(end - cursor) + " bytes follow the last entry of the file table");
    }
    return entries;
}

std::vector<unsigned char> encode_attached_header(std::uint64_t table_size, std::uint64_t compressed_size) {
    std::vector<unsigned char> out(ATTACHED_HEADER_SIZE);
    store_le64(&out[0], table_size);
    store_le64(&out[8], compressed_size);
    return out;
}

std::vector<unsigned char> encode_attached_trailer(std::uint64_t table_size, std::uint64_t compressed_size) {
    // A zero byte, then the offset of the value that follows it: enough for a reader holding only
    // the finished executable to find where the attached data starts.
    std::vector<unsigned char> out(ATTACHED_TRAILER_SIZE);
    out[0] = 0;
    store_le64(&out[1], ATTACHED_HEADER_SIZE + table_size + compressed_size + 1);
    return out;
}

}  // namespace onefile::pack
