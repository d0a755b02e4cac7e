#include "file_table.h"

#include <string>

#include "errors.h"

namespace onefile::pack {

void store_le64(unsigned char* out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint64_t load_le64(const unsigned char* in)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

std::uint32_t load_le32(const unsigned char* in)
{
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

static void append_string(std::vector<unsigned char>& out, const std::u16string& text)
{
    for (char16_t unit : text) {
        out.push_back(static_cast<unsigned char>(unit & 0xFF));
        out.push_back(static_cast<unsigned char>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

std::vector<unsigned char> encode_file_table(const std::vector<TableEntry>& entries)
{
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

// Reads a NUL-ended UTF-16LE string starting at `start`; returns the offset just past its NUL.
static std::size_t read_string(std::span<const unsigned char> table, std::size_t start, std::size_t entry_offset,
                               const char* what, std::u16string& out)
{
    for (std::size_t i = 0;; ++i) {
        if (i > MAX_NAME_UNITS) {
            throw PackError("file table entry at offset " + std::to_string(entry_offset) + ": " + what +
                            " is longer than 4095 code units");
        }
        if (table.size() - start < 2 * (i + 1)) {
            throw PackError("file table entry at offset " + std::to_string(entry_offset) + ": " + what +
                            " runs past the end of the file table");
        }
        const auto unit = static_cast<char16_t>(table[start + 2 * i] | table[start + 2 * i + 1] << 8);
        if (unit == 0) {
            if (i == 0) {
                throw PackError("file table entry at offset " + std::to_string(entry_offset) + ": " + what +
                                " is empty");
            }
            return start + 2 * (i + 1);
        }
        out.push_back(unit);
    }
}

std::vector<TableEntry> parse_file_table(std::span<const unsigned char> table)
{
    std::vector<TableEntry> entries;
    if (table.empty()) {
        return entries;
    }
    std::size_t cursor = 0;
    for (;;) {
        if (table.size() - cursor < 12) {
            throw PackError("file table entry at offset " + std::to_string(cursor) +
                            " is cut short (the table ends without an entry marked last)");
        }
        TableEntry entry;
        entry.flags = load_le32(&table[cursor]);
        if (entry.flags & ~ENTRY_FLAGS_KNOWN) {
            throw PackError("file table entry at offset " + std::to_string(cursor) + " has unknown flag bits (" +
                            std::to_string(entry.flags) + ")");
        }
        entry.size = load_le64(&table[cursor + 4]);
        std::size_t next = read_string(table, cursor + 12, cursor, "name", entry.name);
        if (entry.flags & ENTRY_FLAG_LINK) {
            next = read_string(table, next, cursor, "second string", entry.second);
        }
        cursor = next;
        const bool last = entry.flags & ENTRY_FLAG_LAST;
        entries.push_back(std::move(entry));
        if (last) {
            break;
        }
    }
    if (cursor != table.size()) {
        throw PackError(std::to_string(table.size() - cursor) + " bytes follow the last entry of the file table");
    }
    return entries;
}

std::vector<unsigned char> encode_attached_header(std::uint64_t table_size, std::uint64_t compressed_size)
{
    std::vector<unsigned char> out(ATTACHED_HEADER_SIZE);
    store_le64(&out[0], table_size);
    store_le64(&out[8], compressed_size);
    return out;
}

std::vector<unsigned char> encode_attached_trailer(std::uint64_t table_size, std::uint64_t compressed_size)
{
    // A zero byte, then the offset of the value that follows it: enough for a reader holding only
    // the finished executable to find where the attached data starts.
    std::vector<unsigned char> out(ATTACHED_TRAILER_SIZE);
    out[0] = 0;
    store_le64(&out[1], ATTACHED_HEADER_SIZE + table_size + compressed_size + 1);
    return out;
}

}  // namespace onefile::pack
