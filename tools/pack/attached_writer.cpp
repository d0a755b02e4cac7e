#include "attached_writer.h"

// ZSTD_getFrameProgression(), to pace the jobs (see FrameWriter::wait_for_a_free_job_buffer).
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "errors.h"
#include "file_io.h"
#include "file_table.h"
#include "host.h"
#include "interrupt.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

struct CCtxDeleter {
    void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};

void check_zstd(std::size_t result, const char* what) {
    if (ZSTD_isError(result)) {
        throw PackError(std::string("compression failed (") + what + "): " + ZSTD_getErrorName(result));
    }
}

class FrameWriter {
public:
    FrameWriter(int level, NativeFile out_fd, const fs::path& out_name);

    // Starts the only frame of the stream: the full window, no content size.
    void begin_single();
    // Starts one frame of several, holding exactly `content_size` bytes.
    void begin_sized(std::uint64_t content_size);
    void add(const void* data, std::size_t size);
    void finish();
    std::uint64_t compressed_size() const { return compressed_size_; }

private:
    void drain(ZSTD_inBuffer& input, ZSTD_EndDirective mode);
    void write_out(const ZSTD_outBuffer& output);
    void wait_for_a_free_job_buffer();

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx_;
    bool threaded_ = false;
    std::uint64_t fed_ = 0;  // bytes given to the compressor
    std::vector<unsigned char> out_buffer_;
    NativeFile out_fd_;
    fs::path out_name_;
    std::uint64_t compressed_size_ = 0;
};

FrameWriter::FrameWriter(int level, NativeFile out_fd, const fs::path& out_name)
    : cctx_(ZSTD_createCCtx()), out_buffer_(ZSTD_CStreamOutSize()), out_fd_(out_fd), out_name_(out_name) {
    if (!cctx_) {
        throw PackError("compression failed: out of memory");
    }
    ZSTD_CCtx* cctx = cctx_.get();
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level), "level");
    // No dictionary id in the frame header. Every frame does end in the content checksum (the low
    // 32 bits of XXH64 over everything it holds): without it a damaged byte in a stored (raw) block
    // or in literals decodes without complaint, and neither the launcher nor --verify could tell.
    // Any decoder reads the 4 extra bytes; libzstd's checks them by default.
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1), "checksum flag");
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
    // Worker threads change speed, not bytes: for fixed parameters and worker count the output is
    // the same on every run.
    const ZSTD_bounds workers = ZSTD_cParam_getBounds(ZSTD_c_nbWorkers);
    if (!ZSTD_isError(workers.error) && workers.upperBound > 0) {
        check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, std::min(2, workers.upperBound)), "workers");
        // Left to itself the library sizes jobs at 4 windows (512 MiB) and buffers several of them:
        // close to 3 GiB resident for a 3 GiB application. 32 MiB jobs keep it near 250 MiB at
        // the same compression ratio (each job still sees the data before it, up to its overlap).
        check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_jobSize, JOB_SIZE), "job size");
        threaded_ = true;
    }
}

void FrameWriter::begin_single() {
    ZSTD_CCtx* cctx = cctx_.get();
    fed_ = 0;  // jobs are counted from the frame's start
    // No content size in the frame header: the launcher knows the sizes from the file table.
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, WINDOW_LOG), "window");
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0), "content size flag");
    // Start the frame with no input and no end in sight. Were the first call a ZSTD_e_end holding
    // everything, the library would take the input's size as known and shrink the window to it;
    // this way every frame is the same kind, with the full 2^27-byte window.
    ZSTD_inBuffer nothing{nullptr, 0, 0};
    drain(nothing, ZSTD_e_continue);
}

void FrameWriter::write_out(const ZSTD_outBuffer& output) {
    write_all(out_fd_, out_buffer_.data(), output.pos, out_name_);
    compressed_size_ += output.pos;
}

void FrameWriter::begin_sized(std::uint64_t content_size) {
    ZSTD_CCtx* cctx = cctx_.get();
    check_zstd(ZSTD_CCtx_reset(cctx, ZSTD_reset_session_only), "reset");
    fed_ = 0;  // jobs are counted from the frame's start
    // A frame of several carries its content size: the launcher finds from the frame headers alone
    // which files each frame holds. Its window is the smallest power of two that holds the whole
    // frame: a decoder never needs more, and each of the launcher's threads holds one.
    int window_log = MIN_FRAME_WINDOW_LOG;
    while (window_log < WINDOW_LOG && (std::uint64_t{1} << window_log) < content_size) {
        ++window_log;
    }
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log), "window");
    check_zstd(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1), "content size flag");
    check_zstd(ZSTD_CCtx_setPledgedSrcSize(cctx, content_size), "content size");
}

void FrameWriter::drain(ZSTD_inBuffer& input, ZSTD_EndDirective mode) {
    for (;;) {
        ZSTD_outBuffer output{out_buffer_.data(), out_buffer_.size(), 0};
        const std::size_t remaining = ZSTD_compressStream2(cctx_.get(), &output, &input, mode);
        check_zstd(remaining, "stream");
        write_out(output);
        // A full output buffer may mean more is ready: take it now, so that a finished job hands
        // its output buffer back before the next one needs one.
        const bool done = mode == ZSTD_e_end ? remaining == 0 : input.pos == input.size && output.pos < output.size;
        if (done) {
            return;
        }
    }
}

// Memory: the library holds each job's output in a buffer of its own (32 MiB for incompressible
// data) from the job's start until all of it has been taken, and keeps every such buffer for reuse.
// Left alone, it starts a job on a worker that has just finished while the finished job's output
// is still waiting, and ends up with three buffers for two workers: 96 MiB beside the 160 MiB of
// input it stages. So a job is started only once every finished job has been taken: at most one
// job is then running, the new one makes two, and two buffers are all there ever are. Where the
// jobs begin and end is fixed by the job size alone, so the frame is byte for byte what it was.
void FrameWriter::wait_for_a_free_job_buffer() {
    for (;;) {
        const ZSTD_frameProgression progress = ZSTD_getFrameProgression(cctx_.get());
        // A finished job always has output not yet taken until the call that takes its last bytes
        // releases it; so when everything produced has been taken, every job still held is running.
        if (progress.nbActiveWorkers <= 1 && progress.produced == progress.flushed) {
            return;
        }
        // With no input the call waits for the oldest job to produce something, then takes it.
        ZSTD_inBuffer nothing{nullptr, 0, 0};
        ZSTD_outBuffer output{out_buffer_.data(), out_buffer_.size(), 0};
        check_zstd(ZSTD_compressStream2(cctx_.get(), &output, &nothing, ZSTD_e_continue), "stream");
        write_out(output);
    }
}

void FrameWriter::add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        // A job starts when the byte that completes its JOB_SIZE bytes arrives: that byte waits.
        std::size_t step = size;
        if (threaded_) {
            const std::uint64_t before_next_job = JOB_SIZE - 1 - fed_ % JOB_SIZE;
            if (before_next_job == 0) {
                wait_for_a_free_job_buffer();
                step = 1;
            } else if (step > before_next_job) {
                step = static_cast<std::size_t>(before_next_job);
            }
        }
        ZSTD_inBuffer input{bytes, step, 0};
        drain(input, ZSTD_e_continue);
        bytes += step;
        size -= step;
        fed_ += step;
    }
}

void FrameWriter::finish() {
    // The end makes a last job of whatever is left.
    if (threaded_) {
        wait_for_a_free_job_buffer();
    }
    ZSTD_inBuffer nothing{nullptr, 0, 0};
    drain(nothing, ZSTD_e_end);
}

[[noreturn]] void throw_changed(const SourceFile& file) {
    throw PackError(quote_path(file.path) + " changed while it was being packed");
}

using ChunkDone = std::function<void(std::size_t bytes)>;

void compress_file(const SourceFile& file, FrameWriter& frame, std::vector<unsigned char>& buffer,
                   const ChunkDone& chunk_done) {
    UniqueFd fd(host_open_read(file.path, true));
    if (!fd) {
        throw_system_error("read", file.path, host_last_error());
    }
    FileStatus info;
    if (!host_file_status(fd.get(), info)) {
        throw_system_error("read", file.path, host_last_error());
    }
    // The time goes beside the contents: it must be the time of exactly these contents, or an
    // interpreter could take a cache compiled from other contents for current.
    if (info.kind != FileKind::Regular || info.size != file.size || info.modified != file.modified) {
        throw_changed(file);
    }
    // The table already holds the listed size: exactly that many bytes go into the stream.
    std::uint64_t left = file.size;
    while (left > 0) {
        const std::size_t want = left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
        const std::size_t got = read_some(fd.get(), buffer.data(), want, file.path);
        if (got == 0) {
            throw_changed(file);
        }
        frame.add(buffer.data(), got);
        left -= got;
        chunk_done(got);
    }
    unsigned char extra;
    if (read_some(fd.get(), &extra, 1, file.path) != 0) {
        throw_changed(file);
    }
    // A write while the file was read leaves the size alone but not the time.
    if (!host_file_status(fd.get(), info)) {
        throw_system_error("read", file.path, host_last_error());
    }
    if (info.modified != file.modified) {
        throw_changed(file);
    }
}

}  // namespace

std::vector<std::size_t> plan_frames(const std::vector<std::uint64_t>& sizes, std::size_t frames) {
    std::uint64_t total = 0;
    for (const std::uint64_t size : sizes) {
        total += size;
    }
    std::uint64_t target = DEFAULT_FRAME_TARGET;
    if (frames == 0) {
        if (total < 2 * DEFAULT_FRAME_TARGET) {
            return {0};
        }
    } else {
        target = (total + frames - 1) / frames;
    }
    std::vector<std::size_t> starts{0};
    std::uint64_t in_frame = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        // A frame is closed once it holds the target, or before a file that fills a frame alone,
        // so that one large file does not drag its neighbours' decoding behind it.
        const bool full = in_frame >= target || (in_frame > 0 && sizes[i] >= target);
        if (full && sizes[i] > 0 && (frames == 0 || starts.size() < frames)) {
            starts.push_back(i);
            in_frame = 0;
        }
        in_frame += sizes[i];
    }
    return starts;
}

PackSummary write_attached_data(const std::vector<SourceFile>& files, int level, const ByteSink& sink,
                                const PackOptions& options) {
    if (level < MIN_LEVEL || level > MAX_LEVEL) {
        throw PackError("compression level " + std::to_string(level) + " is outside 1 to 22");
    }
    fs::path staging_dir = options.temp_dir;
    if (staging_dir.empty()) {
        staging_dir = fs::temp_directory_path();
    }
    UniqueFd frame_fd = create_anonymous_temp_file(staging_dir);
    const fs::path frame_name = staging_dir / "(compressed stream)";

    PackSummary summary;
    std::vector<TableEntry> entries;
    std::vector<unsigned char> buffer(options.chunk_size == 0 ? 1 : options.chunk_size);
    std::uint64_t total = 0;
    for (const SourceFile& file : files) {
        total += file.size;
    }
    std::uint64_t done = 0;
    const ChunkDone chunk_done = [&](std::size_t bytes) {
        if (done == 0) {
            reached_phase("compressing");
        }
        done += bytes;
        if (options.progress) {
            options.progress(done, total);
        }
    };
    if (options.progress) {
        options.progress(0, total);
    }
    std::vector<std::uint64_t> sizes;
    for (const SourceFile& file : files) {
        sizes.push_back(file.size);
    }
    const std::vector<std::size_t> starts = plan_frames(sizes, options.frames);
    {
        FrameWriter frame(level, frame_fd.get(), frame_name);
        for (std::size_t f = 0; f < starts.size(); ++f) {
            const std::size_t end = f + 1 < starts.size() ? starts[f + 1] : files.size();
            if (starts.size() == 1) {
                frame.begin_single();
            } else {
                std::uint64_t content = 0;
                for (std::size_t i = starts[f]; i < end; ++i) {
                    content += files[i].size;
                }
                frame.begin_sized(content);
            }
            for (std::size_t i = starts[f]; i < end; ++i) {
                const SourceFile& file = files[i];
                compress_file(file, frame, buffer, chunk_done);
                TableEntry entry;
                entry.flags = file.executable ? ENTRY_FLAG_BIT0 : 0;
                entry.size = file.size;
                entry.name = file.name_utf16;
                entries.push_back(std::move(entry));
                summary.content_size += file.size;
                summary.file_times.push_back(file.modified);
            }
            frame.finish();
        }
        summary.compressed_size = frame.compressed_size();
        summary.frame_count = starts.size();
    }
    if (!entries.empty()) {
        entries.back().flags |= ENTRY_FLAG_LAST;
    }
    const std::vector<unsigned char> table = encode_file_table(entries);
    if (table.size() > MAX_FILE_TABLE_SIZE) {
        throw PackError("the file table would take " + std::to_string(table.size()) +
                        " bytes; the limit is 268435456 (too many files or too long names)");
    }
    summary.file_count = files.size();
    summary.table_size = table.size();

    const std::vector<unsigned char> header = encode_attached_header(summary.table_size, summary.compressed_size);
    sink(header.data(), header.size());
    sink(table.data(), table.size());
    if (!host_seek(frame_fd.get(), 0)) {
        throw_system_error("read", frame_name, host_last_error());
    }
    std::uint64_t copied = 0;
    for (;;) {
        const std::size_t got = read_some(frame_fd.get(), buffer.data(), buffer.size(), frame_name);
        if (got == 0) {
            break;
        }
        sink(buffer.data(), got);
        copied += got;
    }
    if (copied != summary.compressed_size) {
        throw PackError("the staged compressed stream in " + quote_path(staging_dir) + " was cut short");
    }
    const std::vector<unsigned char> trailer = encode_attached_trailer(summary.table_size, summary.compressed_size);
    sink(trailer.data(), trailer.size());
    summary.attached_size = ATTACHED_HEADER_SIZE + summary.table_size + summary.compressed_size + ATTACHED_TRAILER_SIZE;
    return summary;
}

PackSummary write_attached_data(const fs::path& app_dir, std::string_view main_binary_rel, int level,
                                const fs::path& output, const PackOptions& options) {
    return write_attached_data(collect_app_files(app_dir, main_binary_rel, options.target, options.links), level,
                               output, options);
}

PackSummary write_attached_data(const std::vector<SourceFile>& files, int level, const fs::path& output,
                                const PackOptions& options) {
    PendingFile pending(output);
    PackOptions staged = options;
    if (staged.temp_dir.empty()) {
        staged.temp_dir = pending.temp_path().parent_path();
    }
    const NativeFile fd = pending.fd();
    const PackSummary summary = write_attached_data(
        files, level, [&](const void* data, std::size_t size) { write_all(fd, data, size, output); }, staged);
    pending.commit(0666);
    return summary;
}

PackSummary write_attached_data(const fs::path& app_dir, std::string_view main_binary_rel, int level,
                                std::ostream& output, const PackOptions& options) {
    const std::vector<SourceFile> files = collect_app_files(app_dir, main_binary_rel, options.target, options.links);
    return write_attached_data(
        files, level,
        [&](const void* data, std::size_t size) {
            output.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
            if (!output) {
                throw PackError("cannot write the attached data: the output stream failed");
            }
        },
        options);
}

}  // namespace onefile::pack
