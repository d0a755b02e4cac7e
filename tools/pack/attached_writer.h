// Writing the attached data: 16-byte header, file table, one Zstandard frame holding every file's
// contents in table order and ending in its content checksum, 9 trailing bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string_view>
#include <vector>

#include "app_tree.h"
#include "errors.h"
#include "target.h"

namespace onefile::pack {

inline constexpr int DEFAULT_LEVEL = 9;
inline constexpr int MIN_LEVEL = 1;
inline constexpr int MAX_LEVEL = 22;
// A window of 2^27 bytes is the most a decompression context with default parameters accepts.
inline constexpr int WINDOW_LOG = 27;
// Bytes per compression job when worker threads are used; bounds memory use (see attached_writer.cpp).
inline constexpr int JOB_SIZE = 32 << 20;

struct PackOptions {
    // Which launcher the data is for; Windows adds checks on the file names.
    Target target = Target::Windows;
    // Symbolic links leading outside the application directory: refused, or copied.
    LinkPolicy links;
    // Where the compressed frame is staged before the header (which needs its size) can be written.
    // Empty: the output file's directory, or the system temporary directory when writing to a stream.
    std::filesystem::path temp_dir;
    // Bytes read from a file per step: memory use does not grow with the application's size.
    std::size_t chunk_size = std::size_t{1} << 20;
    // Called after each chunk read with the bytes of file contents compressed so far and in all;
    // may be empty.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct PackSummary {
    std::size_t file_count = 0;
    std::uint64_t content_size = 0;  // all files, uncompressed
    std::uint64_t table_size = 0;
    std::uint64_t compressed_size = 0;
    std::uint64_t attached_size = 0;  // everything written, trailing bytes included
    // Each file's modification time in file table order, as it was when the file was read; not
    // part of the attached data, but what the record behind it is made of.
    std::vector<FileTime> file_times;
};

// Where the attached data goes, a piece at a time.
using ByteSink = std::function<void(const void* data, std::size_t size)>;

// Compresses `files` (in the given order; the first is the main binary) at `level` (1 to 22) and
// writes the attached data to `sink`. Throws PackError on a bad level, a read error, a file whose
// size or modification time is not what was listed or whose modification time changes while it is
// read, or a compression error; what reached the sink is then incomplete.
PackSummary write_attached_data(const std::vector<SourceFile>& files, int level, const ByteSink& sink,
                                const PackOptions& options = {});

// The writer above into the file at `output`, which is replaced only when everything succeeded.
PackSummary write_attached_data(const std::vector<SourceFile>& files, int level, const std::filesystem::path& output,
                                const PackOptions& options = {});

// Packs the application directory: collect_app_files() and the writer above. The file at `output` is
// replaced only when everything succeeded.
PackSummary write_attached_data(const std::filesystem::path& app_dir, std::string_view main_binary_rel, int level,
                                const std::filesystem::path& output, const PackOptions& options = {});

// Same, to a stream; throws PackError when the stream goes bad.
PackSummary write_attached_data(const std::filesystem::path& app_dir, std::string_view main_binary_rel, int level,
                                std::ostream& output, const PackOptions& options = {});

}  // namespace onefile::pack
