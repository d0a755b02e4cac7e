#include "attached_reader.h"

#include <zstd.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "errors.h"
#include "file_io.h"
#include "unicode.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

// The header at `start` describes a table and stream that fit in `available` bytes; parses the
// table. nullopt when anything does not hold.
std::optional<AttachedListing> try_header(std::span<const unsigned char> bytes, std::uint64_t start,
                                          std::uint64_t available) {
    // The launcher's own header check, on the bytes it would be given.
    AttachedHeader header{};
    if (!read_attached_header(bytes.data() + start, available, &header)) {
        return std::nullopt;
    }
    AttachedListing listing;
    listing.offset = start;
    listing.table_size = header.table_size;
    listing.compressed_size = header.compressed_size;
    try {
        listing.entries = parse_file_table(bytes.subspan(start + ATTACHED_HEADER_SIZE, header.table_size));
    } catch (const PackError&) {
        return std::nullopt;
    }
    return listing;
}

}  // namespace

std::optional<AttachedListing> locate_attached(std::span<const unsigned char> bytes) {
    std::optional<AttachedListing> best;
    const std::uint64_t size = bytes.size();
    if (size >= ATTACHED_HEADER_SIZE + ATTACHED_TRAILER_SIZE) {
        const unsigned char* data = bytes.data();
        const std::uint64_t last_zero = size - ATTACHED_TRAILER_SIZE;
        for (std::uint64_t zero = 0; zero <= last_zero; ++zero) {
            const void* found = std::memchr(data + zero, 0, last_zero + 1 - zero);
            if (found == nullptr) {
                break;
            }
            zero = static_cast<const unsigned char*>(found) - data;
            // The value is its own offset from the start, and the zero byte sits right after the
            // stream: start = zero + 1 - value, and value = 16 + table + stream + 1.
            const std::uint64_t value = load_le64(data + zero + 1);
            if (value < ATTACHED_HEADER_SIZE + 1 || value > zero + 1) {
                continue;
            }
            const std::uint64_t start = zero + 1 - value;
            std::optional<AttachedListing> candidate = try_header(bytes, start, value - 1);
            if (!candidate || ATTACHED_HEADER_SIZE + candidate->table_size + candidate->compressed_size != value - 1) {
                continue;
            }
            candidate->length = value + 8;
            if (!best || candidate->length >= best->length) {
                best = std::move(candidate);
            }
        }
    }
    if (!best) {
        // Attached data without trailing bytes (the launcher never reads them) is still readable
        // when it is the whole file.
        best = try_header(bytes, 0, size);
        if (best) {
            best->length = size;
        }
    }
    return best;
}

AttachedListing list_attached(const fs::path& file) {
    const MappedFile mapped(file);
    std::optional<AttachedListing> listing = locate_attached(mapped.bytes());
    if (!listing) {
        throw PackError("no attached data found in " + quote_path(file));
    }
    return std::move(*listing);
}

VerifyReport verify_attached(const fs::path& file) {
    const MappedFile mapped(file);
    std::optional<AttachedListing> listing = locate_attached(mapped.bytes());
    if (!listing) {
        throw PackError("no attached data found in " + quote_path(file));
    }
    VerifyReport report;
    report.listing = std::move(*listing);
    const std::vector<TableEntry>& entries = report.listing.entries;

    if (entries.empty()) {
        throw PackError("the file table of " + quote_path(file) + " is empty: there is no main binary");
    }
    std::set<std::u16string> names;
    std::uint64_t needed = 0;
    for (const TableEntry& entry : entries) {
        const std::string name = utf16_to_utf8(entry.name);
        if (entry.flags & ENTRY_FLAG_LINK) {
            throw PackError("'" + name + "' is a link entry, which the launcher refuses");
        }
        if (!names.insert(entry.name).second) {
            throw PackError("'" + name + "' occurs twice in the file table");
        }
        if (entry.size > UINT64_MAX - needed) {
            throw PackError("the file sizes in the file table add up to more than 2^64 bytes");
        }
        needed += entry.size;
    }

    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) {
        throw PackError("decompression failed: out of memory");
    }
    const auto stream = mapped.bytes().subspan(report.listing.offset + ATTACHED_HEADER_SIZE + report.listing.table_size,
                                               report.listing.compressed_size);
    std::vector<unsigned char> out(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input{stream.data(), stream.size(), 0};
    std::uint64_t produced = 0;
    std::size_t pending = 0;  // nonzero while a frame is unfinished
    bool frame_open = false;
    while (input.pos < input.size || pending != 0) {
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        const std::size_t before = input.pos;
        pending = ZSTD_decompressStream(dctx.get(), &output, &input);
        if (ZSTD_isError(pending)) {
            throw PackError("the compressed stream does not decode (after " + std::to_string(produced) +
                            " bytes): " + ZSTD_getErrorName(pending));
        }
        if (input.pos > before || output.pos > 0) {
            frame_open = true;
        }
        produced += output.pos;
        if (pending == 0 && frame_open) {
            ++report.frame_count;
            frame_open = false;
        }
        if (input.pos == input.size && output.pos < output.size && pending != 0) {
            throw PackError("the compressed stream ends in the middle of a frame");
        }
        if (produced > needed) {
            throw PackError("the compressed stream yields more than the " + std::to_string(needed) +
                            " bytes the file table accounts for");
        }
    }
    if (produced != needed) {
        throw PackError("the compressed stream yields " + std::to_string(produced) +
                        " bytes, but the file sizes add up to " + std::to_string(needed));
    }
    report.content_size = needed;
    return report;
}

}  // namespace onefile::pack
