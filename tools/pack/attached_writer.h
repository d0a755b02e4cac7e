// Writing the attached data: 16-byte header, file table, the compressed stream holding every file's
// contents in table order, 9 trailing bytes. The stream is one Zstandard frame, or several frames
// back to back that each hold whole files, so that a launcher can decode them on several threads;
// every frame ends in its content checksum.
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
// Frames of several: each holds whole files adding up to at least this many bytes (the last one
// excepted), and an application smaller than twice this is one frame: bench/README.md has the
// measurements behind the choice.
inline constexpr std::uint64_t DEFAULT_FRAME_TARGET = std::uint64_t{16} << 20;
// The smallest window a frame of several is given: below it the window saves nothing worth having.
inline constexpr int MIN_FRAME_WINDOW_LOG = 20;

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
    // How many frames the stream is split into: 0 chooses by the application's size (one frame for
    // a small one), 1 writes the single frame with the full window, N splits it into about N frames
    // of whole files, each with a window no larger than it needs.
    std::size_t frames = 0;
};

// The index of the first file of every frame, for files of the given sizes (in table order) and
// the `frames` choice of PackOptions. Always starts with 0; a frame begins only at a file that is
// not empty, so that no frame is empty; a file larger than the frame target gets a frame of its
// own. No files: one frame.
std::vector<std::size_t> plan_frames(const std::vector<std::uint64_t>& sizes, std::size_t frames);

struct PackSummary {
    std::size_t file_count = 0;
    std::uint64_t content_size = 0;  // all files, uncompressed
    std::uint64_t table_size = 0;
    std::uint64_t compressed_size = 0;
    std::size_t frame_count = 0;
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
