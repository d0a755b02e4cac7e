#include "attached_reader.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader(): whether a frame ends in a content checksum
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
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

// A file table name in quotes, as messages show it.
std::string shown(const TableEntry& entry) { return "'" + escape_for_display(utf16_to_utf8(entry.name), false) + "'"; }

// Where each file's bytes lie in the decompressed content (the files' contents one after the other,
// in table order), so that a failure at some content offset can name the file it hits.
class ContentMap {
public:
    explicit ContentMap(const std::vector<TableEntry>& entries) : entries_(entries) {
        ends_.reserve(entries.size());
        std::uint64_t end = 0;
        for (const TableEntry& entry : entries) {
            if (entry.size > UINT64_MAX - end) {
                fits_ = false;
                return;
            }
            end += entry.size;
            ends_.push_back(end);
        }
    }

    bool fits() const { return fits_; }
    const TableEntry& entry(std::size_t index) const { return entries_[index]; }
    std::uint64_t total() const { return ends_.empty() ? 0 : ends_.back(); }

    // The file holding content byte `offset` (empty files hold none); at or past the end, the last.
    std::size_t file_at(std::uint64_t offset) const {
        const auto it = std::upper_bound(ends_.begin(), ends_.end(), offset);
        return it == ends_.end() ? entries_.size() - 1 : static_cast<std::size_t>(it - ends_.begin());
    }

    // Where content byte `offset` lies, for a message: "in 'a.txt' (at byte 12 of its 40)", or
    // "after the end of the last file 'z.txt'".
    std::string where(std::uint64_t offset) const {
        if (offset >= total()) {
            return "after the end of the last file " + shown(entries_.back());
        }
        const std::size_t index = file_at(offset);
        const std::uint64_t start = ends_[index] - entries_[index].size;
        return "in " + shown(entries_[index]) + " (at byte " + std::to_string(offset - start) + " of its " +
               std::to_string(entries_[index].size) + ")";
    }

    // The files whose bytes lie in content bytes [begin, end) are damaged, for a message.
    std::string damaged(std::uint64_t begin, std::uint64_t end) const {
        const std::size_t first = file_at(begin);
        const std::size_t last = end > begin ? file_at(end - 1) : first;
        if (first == last) {
            return "the bytes of " + shown(entries_[first]) + " are damaged";
        }
        return "the bytes of one or more files from " + shown(entries_[first]) + " to " + shown(entries_[last]) +
               " are damaged";
    }

private:
    const std::vector<TableEntry>& entries_;
    std::vector<std::uint64_t> ends_;  // where each file's bytes end
    bool fits_ = true;
};

// A decoder error in a call that was given more than one byte of new input. libzstd does not count
// the output of a call that fails, and a call given much input decodes block after block: where
// the error struck is known only to within that call's work.
struct ImpreciseFailure {
    std::size_t call_start;  // the stream offset the failing call began at
    std::string message;     // the message, with the output counted before that call
};

// Decompresses `stream` with a default context: the window the launcher allows, and every content
// checksum checked. Requires it to end on a frame boundary exactly at its end, with nothing after
// the frame that completes the content, and to yield exactly the content's bytes; counts frames
// into `report`. From stream offset `precise_from` on, each call gets one byte of input more than
// the last (none while the output is still being flushed): a failing call has then done at most
// one step, and what came before it has all been counted. Throws PackError naming the file where
// the problem shows, or ImpreciseFailure for a decoder error before `precise_from`.
void decode_stream(std::span<const unsigned char> stream, const ContentMap& content, std::size_t precise_from,
                   VerifyReport& report) {
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!dctx) {
        throw PackError("decompression failed: out of memory");
    }
    const std::uint64_t needed = content.total();
    // Room for a whole block, so a block's output always leaves in the call that decoded it.
    std::vector<unsigned char> out(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input{stream.data(), 0, 0};
    std::uint64_t produced = 0;
    std::uint64_t frame_start = 0;  // the content offset where the current frame's bytes begin
    bool frame_open = false;
    bool output_full = false;
    for (;;) {
        if (!frame_open) {
            if (input.pos == stream.size()) {
                break;
            }
            // The content is complete and the frame holding its end is closed: whatever follows was
            // never written by the packer, and the launcher would never read it.
            if (produced == needed && report.frame_count > 0) {
                throw PackError(std::to_string(stream.size() - input.pos) +
                                " bytes follow the last frame of the compressed stream, after all " +
                                std::to_string(needed) + " bytes of the files (the last is " +
                                shown(content.entry(content.file_at(needed))) + ")");
            }
            ZSTD_frameHeader header{};
            if (ZSTD_getFrameHeader(&header, stream.data() + input.pos, stream.size() - input.pos) == 0 &&
                header.frameType == ZSTD_frame && header.checksumFlag != 0) {
                ++report.checksummed_frames;
            }
            frame_open = true;
            frame_start = produced;
        }
        if (input.pos < precise_from) {
            input.size = static_cast<std::size_t>(std::min<std::uint64_t>(stream.size(), precise_from));
        } else if (!output_full) {
            input.size = std::min(stream.size(), input.pos + 1);
        }
        const std::size_t call_start = input.pos;
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        const std::size_t pending = ZSTD_decompressStream(dctx.get(), &output, &input);
        if (ZSTD_isError(pending)) {
            std::string message;
            if (ZSTD_getErrorCode(pending) == ZSTD_error_checksum_wrong) {
                // XXH64 over the whole frame says only that some byte of it differs, not which.
                message = "the content checksum does not match: " + content.damaged(frame_start, produced) +
                          " (or the checksum itself is)";
            } else {
                // Decoding stops here, but a damaged byte can decode without complaint and trip up
                // a later block only (a block's type, or tables or matches a later block reuses).
                message = "the compressed stream is damaged: decoding fails " + content.where(produced) + ": " +
                          ZSTD_getErrorName(pending);
                if (produced > frame_start) {
                    message += "; the damage may also lie in the frame's earlier bytes, from " +
                               shown(content.entry(content.file_at(frame_start))) + " on";
                }
            }
            if (input.size - call_start > 1 || output_full) {
                throw ImpreciseFailure{call_start, message};
            }
            throw PackError(message);
        }
        produced += output.pos;
        output_full = output.pos == output.size;
        if (produced > needed) {
            throw PackError("the compressed stream yields more than the " + std::to_string(needed) +
                            " bytes the file sizes add up to: " + content.damaged(frame_start, needed) +
                            " (or a size in the file table is)");
        }
        if (pending == 0) {
            ++report.frame_count;
            frame_open = false;
        } else if (input.pos == stream.size() && !output_full) {
            throw PackError("the compressed stream ends in the middle of a frame, " + content.where(produced));
        }
    }
    if (produced != needed) {
        throw PackError("the compressed stream yields only " + std::to_string(produced) + " of the " +
                        std::to_string(needed) + " bytes the file sizes add up to: it ends " + content.where(produced));
    }
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
    listing->extras = read_extras_record(mapped.bytes(), listing->offset + listing->length, listing->entries);
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
    for (const TableEntry& entry : entries) {
        if (entry.flags & ENTRY_FLAG_LINK) {
            throw PackError(shown(entry) + " is a link entry, which the launcher refuses");
        }
        if (const std::string problem = name_containment_problem(entry.name); !problem.empty()) {
            throw PackError("the launcher refuses the name " + shown(entry) + ": it " + problem);
        }
        if (!names.insert(entry.name).second) {
            throw PackError(shown(entry) + " occurs twice in the file table");
        }
    }
    const ContentMap content(entries);
    if (!content.fits()) {
        throw PackError("the file sizes in the file table add up to more than 2^64 bytes");
    }
    const auto stream = mapped.bytes().subspan(report.listing.offset + ATTACHED_HEADER_SIZE + report.listing.table_size,
                                               report.listing.compressed_size);
    try {
        decode_stream(stream, content, SIZE_MAX, report);
    } catch (const ImpreciseFailure& failure) {
        // Again from the start, a byte at a time from where the failing call began: the pass
        // then throws with the exact count. Should it not fail at all, the first message stands.
        VerifyReport again;
        try {
            decode_stream(stream, content, failure.call_start, again);
        } catch (const ImpreciseFailure&) {}
        throw PackError(failure.message);
    }
    report.content_size = content.total();
    report.listing.extras =
        read_extras_record(mapped.bytes(), report.listing.offset + report.listing.length, report.listing.entries);
    return report;
}

}  // namespace onefile::pack
