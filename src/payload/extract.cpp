#include "payload/extract.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/bounded.h"
#include "common/errors.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/frame_scan.h"
#include "platform/platform.h"

namespace {

// One decoder reading one part of the compressed stream through its window: the whole stream in
// order, or one frame of several.
struct StreamReader {
    ZSTD_DCtx* decoder;
    ZSTD_inBuffer input;
    ZSTD_outBuffer window;
    // Whether the most recent decompression call filled the whole window: the decoder may then
    // still hold output although it has consumed all input. The mark lives from one read to the
    // next, so intact data whose last block ends past a window boundary is always read to its end.
    bool window_filled;
    // What the most recent decompression call returned: 0 once a frame has ended (and its
    // checksum, if it carries one, has matched).
    size_t last_result;
    size_t input_released;
};

// What ended a read or a write. The sequential reader reports it at once; a worker of the parallel
// extraction hands it to the main thread, which reports the one the sequential order meets first.
enum class Failure : uint8_t { None, OpenFailed, WriteFailed, Damaged, OutOfMemory };

StreamReader g_reader{nullptr, {}, {}, false, 1, 0};

uint8_t g_write_buffer[WRITE_CHUNK_SIZE];

// The compressed stream is read in place from the executable's mapped image; pages already
// consumed are handed back every 2 MiB, so they do not pile up in the resident set.
constexpr size_t RELEASE_STEP = size_t{2} << 20;

void release_consumed_input(StreamReader& reader) {
    if (reader.input.pos - reader.input_released < RELEASE_STEP) return;
    platform_release_read_pages(static_cast<const uint8_t*>(reader.input.src) + reader.input_released,
                                reader.input.pos - reader.input_released);
    reader.input_released = reader.input.pos;
}

void start_reader(StreamReader& reader, const uint8_t* input, size_t size) {
    reader.input = ZSTD_inBuffer{input, size, 0};
    reader.window.pos = 0;
    reader.window.size = 0;
    reader.window_filled = false;
    reader.last_result = 1;
    reader.input_released = 0;
}

// The library running out of memory (a frame window larger than a limit set on this process, say)
// is reported as that, not as damaged data.
Failure decoder_failure(size_t result) {
    return ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation ? Failure::OutOfMemory : Failure::Damaged;
}

Failure reader_read(StreamReader& reader, uint8_t* destination, uint32_t count) {
    ZSTD_outBuffer& window = reader.window;
    while (count > 0) {
        if (window.pos < window.size) {
            size_t take = window.size - window.pos;
            if (take > count) take = count;
            memcpy(destination, static_cast<const uint8_t*>(window.dst) + window.pos, take);
            destination += take;
            window.pos += take;
            count -= static_cast<uint32_t>(take);
            continue;
        }
        if (reader.input.pos >= reader.input.size && !reader.window_filled) return Failure::Damaged;
        window.pos = 0;
        window.size = WINDOW_SIZE;
        reader.last_result = ZSTD_decompressStream(reader.decoder, &window, &reader.input);
        reader.window_filled = window.pos == WINDOW_SIZE;
        if (ZSTD_isError(reader.last_result)) return decoder_failure(reader.last_result);
        release_consumed_input(reader);
        window.size = window.pos;
        window.pos = 0;
    }
    return Failure::None;
}

// After the last file of the reader's part: its frame must end, with a matching checksum, exactly
// where the part ends, and yield nothing beyond the files. A damaged executable never reaches its
// child.
Failure reader_finish(StreamReader& reader) {
    ZSTD_outBuffer& window = reader.window;
    if (window.pos < window.size) return Failure::Damaged;  // more content than the file table holds
    while (reader.last_result != 0) {
        const size_t consumed = reader.input.pos;
        window.pos = 0;
        window.size = WINDOW_SIZE;
        reader.last_result = ZSTD_decompressStream(reader.decoder, &window, &reader.input);
        if (ZSTD_isError(reader.last_result)) return decoder_failure(reader.last_result);
        if (window.pos != 0) return Failure::Damaged;
        // A frame that needs more than the stream holds, or a call that moved nothing, never ends.
        if (reader.last_result != 0 && (reader.input.pos >= reader.input.size || reader.input.pos == consumed)) {
            return Failure::Damaged;
        }
    }
    window.pos = 0;
    window.size = 0;
    if (reader.input.pos != reader.input.size) return Failure::Damaged;  // bytes after the frame
    return Failure::None;
}

[[noreturn]] void exit_with_failure(Failure failure, uint32_t code) {
    switch (failure) {
        case Failure::OpenFailed:
            exit_with_open_error();
        case Failure::WriteFailed:
            exit_unpack_error(code);
        case Failure::OutOfMemory:
            exit_out_of_memory();
        case Failure::None:
        case Failure::Damaged:
            break;
    }
    exit_decode_error();
}

// A name whose component the system would take for something else than a file (a device, on
// Windows) is damage too: writing it would write to the device.
bool components_allowed(const wchar_t* name, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || name[i] == PATH_SEPARATOR) {
            if (!platform_file_name_allowed(name + start, i - start)) return false;
            start = i + 1;
        }
    }
    return true;
}

// Composes output_path as target directory, separator and name. The name's separators are the
// packer's backslashes; this platform's own separator replaces them.
void compose_output_path(const FileEntry& entry) {
    size_t length = 0;
    g_state.output_path[0] = L'\0';
    bounded_append(g_state.output_path, PATH_CAPACITY, &length, g_state.target_directory);
    bounded_append_char(g_state.output_path, PATH_CAPACITY, &length, PATH_SEPARATOR);
    if (length + entry.name_length + 1 > PATH_CAPACITY) exit_bad_attached_data();
    for (size_t i = 0; i < entry.name_length; ++i) {
        const wchar_t c = entry_name_unit(entry, i);
        g_state.output_path[length++] = (c == L'\\') ? PATH_SEPARATOR : c;
    }
    g_state.output_path[length] = L'\0';
}

// The directories the entry at g_state.output_path needs. Before the first entry the target
// directory is claimed, and after its directories are made it is marked.
void make_entry_directories(bool* target_claimed) {
    const bool first = !*target_claimed;
    if (first) {
        // The home directory is known before anything is created: without one the run ends here
        // and leaves nothing behind.
        seed_directory_cache();
        if (!platform_claim_target_directory(g_state.target_directory)) exit_unpack_error(platform_last_error());
        *target_claimed = true;
    }
    create_parent_directories(g_state.output_path);
    // From now on every other launcher sees this directory as a live run's.
    if (first) platform_mark_target_directory(g_state.target_directory);
}

// Interpreters compare a module's time with the one recorded in its compiled cache: the file keeps
// the time it had when it was packed, set through the handle it was written with.
void set_packed_time_and_close(FileHandle file, uint64_t index) {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    if (file_time_at(attached_file_times(), index, &seconds, &nanoseconds)) {
        platform_set_file_time(file, seconds, nanoseconds);
    }
    platform_close_file(file);
}

void write_entry(const FileEntry& entry, uint64_t index) {
    const FileHandle file = platform_create_output_file(g_state.output_path, (entry.flags & ENTRY_FLAG_BIT0) != 0);
    if (file == INVALID_FILE) exit_with_open_error();
    uint64_t remaining = entry.size;
    while (remaining > 0) {
        const uint32_t chunk = remaining < WRITE_CHUNK_SIZE ? static_cast<uint32_t>(remaining) : WRITE_CHUNK_SIZE;
        read_stream_bytes(g_write_buffer, chunk);
        if (!platform_write_file(file, g_write_buffer, chunk)) {
            // Closed before the report: a start that falls back from its cache removes the file
            // (Windows keeps an open file).
            const uint32_t error = platform_last_error();
            platform_close_file(file);
            exit_unpack_error(error);
        }
        remaining -= chunk;
    }
    set_packed_time_and_close(file, index);
}

// The packer ends its frame with a content checksum. The frame header says so: the magic number,
// then a descriptor byte whose bit 2 is the checksum flag. Data packed without one (older
// executables) is read as before, without the end checks.
bool stream_carries_checksum() {
    const uint8_t* stream = compressed_stream_start();
    return compressed_stream_size() >= 5 && load_le32(stream) == ZSTD_MAGICNUMBER && (stream[4] & 0x04) != 0;
}

// After the last file: the frame must end, with a matching checksum, exactly where the compressed
// stream ends, and yield nothing beyond the files.
void check_stream_end() {
    const Failure failure = reader_finish(g_reader);
    if (failure != Failure::None) exit_with_failure(failure, 0);
}

// ---- parallel extraction ----------------------------------------------------------------------------
//
// A stream of several frames that each hold whole files is decoded by several workers, one frame at
// a time each, with a decoder and window of their own; each writes the files of its frame. The main
// thread first accounts for every frame from its header and every entry of the file table; anything
// it cannot account for, or a stream of one frame, or one processor, leaves the work to the
// sequential reader above, which then reports every defect exactly where it meets it. What stays
// the same: every file and its bytes, and the failure reported, which is the one the sequential
// order meets first (see FailurePoint).

constexpr size_t MAX_FRAMES = 1024;
constexpr uint32_t MAX_WORKERS = 8;

// Where in the sequential order a failure happens: at an entry, and within it, when its file is
// opened, when the frame before it is found to end badly (the sequential reader meets that end
// with the entry's first read, after the open), or while its content is read and written.
enum class Phase : uint8_t { Open = 0, PreviousFrameEnd = 1, Content = 2 };

struct FailurePoint {
    uint64_t entry;
    Phase phase;
    Failure failure;
    uint32_t code;  // the system's error for a failed write
};

bool earlier(const FailurePoint& a, const FailurePoint& b) {
    return a.entry != b.entry ? a.entry < b.entry : a.phase < b.phase;
}

struct FramePlan {
    FrameSpan span;
    uint64_t first_entry;
    uint64_t end_entry;           // one past its last entry
    const uint8_t* first_cursor;  // its first entry in the file table
};

struct Worker {
    StreamReader reader;
    ThreadStart thread;
    bool started;
    bool failed;
    FailurePoint failure;
    uint8_t write_buffer[WRITE_CHUNK_SIZE];
    wchar_t path[PATH_CAPACITY];
};

FrameSpan g_spans[MAX_FRAMES];
FramePlan g_plans[MAX_FRAMES];
size_t g_frame_count = 0;
const uint8_t* g_table_end = nullptr;
Worker g_workers[MAX_WORKERS];
uint32_t g_worker_count = 0;
std::atomic<size_t> g_next_frame{0};
// Frames after this one need not be written: a failure in an earlier place is already known.
std::atomic<size_t> g_last_needed_frame{0};
wchar_t g_scratch_path[PATH_CAPACITY];

// Composes `out` as target directory, separator and name; false when it does not fit (the
// sequential reader reports that).
bool compose_path(const FileEntry& entry, wchar_t* out) {
    const size_t directory_length = wcslen(g_state.target_directory);
    if (directory_length + 1 + entry.name_length + 1 > PATH_CAPACITY) return false;
    wmemcpy(out, g_state.target_directory, directory_length);
    out[directory_length] = PATH_SEPARATOR;
    size_t length = directory_length + 1;
    for (size_t i = 0; i < entry.name_length; ++i) {
        const wchar_t c = entry_name_unit(entry, i);
        out[length++] = (c == L'\\') ? PATH_SEPARATOR : c;
    }
    out[length] = L'\0';
    return true;
}

// Walks the whole file table without reporting anything and shares its entries out to the frames:
// each frame holds whole files whose sizes add up to its content size, and every frame after the
// first begins with a file that has content (so the sequential reader meets the end of the frame
// before it at that file's first read). False on anything the sequential reader would refuse or
// that does not add up.
bool plan_frames() {
    // The file table ends where the compressed stream begins.
    const uint8_t* cursor = file_table_start();
    g_table_end = compressed_stream_start();
    if (cursor == g_table_end) return false;
    size_t frame = 0;
    uint64_t remaining = g_spans[0].content_size;
    g_plans[0] = FramePlan{g_spans[0], 0, 0, cursor};
    const size_t directory_length = wcslen(g_state.target_directory);
    for (uint64_t index = 0;; ++index) {
        FileEntry entry{};
        const EntryResult result = read_entry_at(cursor, g_table_end, &entry);
        if (result.defect != EntryDefect::None) return false;
        if ((entry.flags & ENTRY_FLAG_LINK) != 0) return false;
        if (!compose_path(entry, g_scratch_path)) return false;
        const wchar_t* name = g_scratch_path + directory_length + 1;
        if (!entry_name_is_contained(name, entry.name_length) || !components_allowed(name, entry.name_length)) {
            return false;
        }
        while (remaining == 0 && entry.size > 0 && frame + 1 < g_frame_count) {
            g_plans[frame].end_entry = index;
            ++frame;
            g_plans[frame] = FramePlan{g_spans[frame], index, 0, cursor};
            remaining = g_spans[frame].content_size;
        }
        if (entry.size > remaining) return false;
        remaining -= entry.size;
        cursor = result.next;
        if ((entry.flags & ENTRY_FLAG_LAST) != 0) {
            g_plans[frame].end_entry = index + 1;
            break;
        }
    }
    return cursor == g_table_end && frame + 1 == g_frame_count && remaining == 0;
}

// Writes the files of one frame; false with `*failure` set at the first thing that fails.
bool extract_frame(Worker& worker, const FramePlan& plan, FailurePoint* failure) {
    StreamReader& reader = worker.reader;
    ZSTD_DCtx_reset(reader.decoder, ZSTD_reset_session_only);
    start_reader(reader, compressed_stream_start() + plan.span.offset, static_cast<size_t>(plan.span.compressed_size));
    const uint8_t* cursor = plan.first_cursor;
    for (uint64_t index = plan.first_entry; index < plan.end_entry; ++index) {
        FileEntry entry{};
        cursor = read_entry_at(cursor, g_table_end, &entry).next;  // the plan has read it before
        compose_path(entry, worker.path);
        const FileHandle file = platform_create_output_file(worker.path, (entry.flags & ENTRY_FLAG_BIT0) != 0);
        if (file == INVALID_FILE) {
            *failure = FailurePoint{index, Phase::Open, Failure::OpenFailed, 0};
            return false;
        }
        uint64_t remaining = entry.size;
        while (remaining > 0) {
            const uint32_t chunk = remaining < WRITE_CHUNK_SIZE ? static_cast<uint32_t>(remaining) : WRITE_CHUNK_SIZE;
            const Failure read = reader_read(reader, worker.write_buffer, chunk);
            if (read != Failure::None) {
                platform_close_file(file);
                *failure = FailurePoint{index, Phase::Content, read, 0};
                return false;
            }
            if (!platform_write_file(file, worker.write_buffer, chunk)) {
                const uint32_t code = platform_last_error();
                platform_close_file(file);
                *failure = FailurePoint{index, Phase::Content, Failure::WriteFailed, code};
                return false;
            }
            remaining -= chunk;
        }
        set_packed_time_and_close(file, index);
    }
    const Failure end = reader_finish(reader);
    if (end != Failure::None) {
        *failure = FailurePoint{plan.end_entry, Phase::PreviousFrameEnd, end, 0};
        return false;
    }
    return true;
}

void run_worker(void* argument) {
    Worker& worker = *static_cast<Worker*>(argument);
    for (;;) {
        const size_t frame = g_next_frame.fetch_add(1);
        if (frame >= g_frame_count || frame > g_last_needed_frame.load()) return;
        FailurePoint failure{};
        if (extract_frame(worker, g_plans[frame], &failure)) continue;
        worker.failed = true;
        worker.failure = failure;
        // A bad end of this frame comes after the open of the next frame's first file, which may
        // fail too: that frame is still needed. Frames are handed out in order, so nothing this
        // worker would take from now on is.
        const size_t last_needed = failure.phase == Phase::PreviousFrameEnd ? frame + 1 : frame;
        size_t current = g_last_needed_frame.load();
        while (last_needed < current && !g_last_needed_frame.compare_exchange_weak(current, last_needed)) {}
        return;
    }
}

void release_workers() {
    for (uint32_t i = 0; i < g_worker_count; ++i) {
        ZSTD_freeDCtx(g_workers[i].reader.decoder);
        platform_free(g_workers[i].reader.window.dst);
        g_workers[i].reader.decoder = nullptr;
        g_workers[i].reader.window = ZSTD_outBuffer{nullptr, 0, 0};
    }
    g_worker_count = 0;
}

// Extracts a stream of several frames on several threads. False, having done nothing that shows,
// when it is not such a stream or there is one processor: the sequential reader does the work.
bool extract_in_parallel() {
    uint32_t workers = platform_processor_count();
    if (workers > MAX_WORKERS) workers = MAX_WORKERS;
    if (workers < 2) return false;
    g_frame_count = scan_frames(compressed_stream_start(), compressed_stream_size(), g_spans, MAX_FRAMES);
    if (g_frame_count < 2) return false;
    if (!plan_frames()) return false;
    if (workers > g_frame_count) workers = static_cast<uint32_t>(g_frame_count);

    // The first worker's window and decoder are the sequential reader's, and as short of memory
    // as it would be; more workers are a gain that memory may refuse.
    g_worker_count = 0;
    for (uint32_t i = 0; i < workers; ++i) {
        Worker& worker = g_workers[i];
        worker.reader = StreamReader{nullptr, {}, {}, false, 1, 0};
        worker.started = false;
        worker.failed = false;
        void* window = platform_allocate(WINDOW_SIZE);
        ZSTD_DCtx* decoder = window != nullptr ? ZSTD_createDCtx() : nullptr;
        if (decoder == nullptr) {
            platform_free(window);
            if (i == 0) exit_out_of_memory();
            break;
        }
        worker.reader.window = ZSTD_outBuffer{window, 0, 0};
        worker.reader.decoder = decoder;
        ++g_worker_count;
    }

    // The main thread makes every directory, in table order, before any file is written: the
    // directory cache is its own, and the first entry claims and marks the target directory as the
    // sequential reader's first entry does.
    bool target_claimed = false;
    for (;;) {
        const FileEntry entry = read_file_entry();
        compose_output_path(entry);
        if (g_state.main_binary_path[0] == L'\0')
            bounded_copy(g_state.main_binary_path, PATH_CAPACITY, g_state.output_path);
        make_entry_directories(&target_claimed);
        if ((entry.flags & ENTRY_FLAG_LAST) != 0) break;
    }
    file_table_fully_read();

    g_next_frame.store(0);
    g_last_needed_frame.store(g_frame_count);
    for (uint32_t i = 1; i < g_worker_count; ++i) {
        Worker& worker = g_workers[i];
        worker.thread = ThreadStart{run_worker, &worker, 0};
        // A thread that cannot be started leaves its share to the others.
        worker.started = platform_start_thread(&worker.thread);
    }
    run_worker(&g_workers[0]);
    for (uint32_t i = 1; i < g_worker_count; ++i) {
        if (g_workers[i].started) platform_join_thread(&g_workers[i].thread);
    }

    const FailurePoint* first = nullptr;
    for (uint32_t i = 0; i < g_worker_count; ++i) {
        if (g_workers[i].failed && (first == nullptr || earlier(g_workers[i].failure, *first))) {
            first = &g_workers[i].failure;
        }
    }
    if (first != nullptr) {
        if (first->failure == Failure::OpenFailed) {
            // The message names the file as the sequential reader's output path would.
            const uint8_t* cursor = file_table_start();
            FileEntry entry{};
            for (uint64_t index = 0; index <= first->entry; ++index)
                cursor = read_entry_at(cursor, g_table_end, &entry).next;
            compose_output_path(entry);
        }
        exit_with_failure(first->failure, first->code);
    }
    release_workers();
    return true;
}

}  // namespace

void read_stream_bytes(uint8_t* destination, uint32_t count) {
    const Failure failure = reader_read(g_reader, destination, count);
    if (failure != Failure::None) exit_with_failure(failure, 0);
}

void extract_attached_data(Role role) {
    // A stream of several frames is written by several threads where there are processors for
    // them; everything else is read in order, as below.
    if (role == Role::Parent && extract_in_parallel()) return;

    void* window = platform_allocate(WINDOW_SIZE);
    if (window == nullptr) exit_out_of_memory();
    g_reader.window = ZSTD_outBuffer{window, 0, 0};
    g_reader.decoder = ZSTD_createDCtx();
    if (g_reader.decoder == nullptr) exit_out_of_memory();
    start_reader(g_reader, compressed_stream_start(), static_cast<size_t>(compressed_stream_size()));

    bool target_claimed = false;
    if (!file_table_empty()) {
        for (uint64_t index = 0;; ++index) {
            const FileEntry entry = read_file_entry();
            compose_output_path(entry);
            // The packer never writes a name that leaves the target directory; one that would is
            // damage, and following it could overwrite files anywhere the user may write.
            const wchar_t* name = g_state.output_path + wcslen(g_state.target_directory) + 1;
            if (!entry_name_is_contained(name, entry.name_length) || !components_allowed(name, entry.name_length)) {
                exit_bad_attached_data();
            }
            if (g_state.main_binary_path[0] == L'\0') {
                bounded_copy(g_state.main_binary_path, PATH_CAPACITY, g_state.output_path);
                if (role == Role::Child) return;
            }
            if ((entry.flags & ENTRY_FLAG_LINK) != 0) exit_bad_attached_data();
            make_entry_directories(&target_claimed);
            write_entry(entry, index);
            if ((entry.flags & ENTRY_FLAG_LAST) != 0) break;
        }
        file_table_fully_read();
        if (stream_carries_checksum()) check_stream_end();
    } else if (role == Role::Child) {
        // No main binary to run: the packer always writes one, so the data is damaged.
        exit_bad_attached_data();
    }
    release_decoder();
}

void release_decoder() {
    ZSTD_freeDCtx(g_reader.decoder);
    g_reader.decoder = nullptr;
    platform_free(g_reader.window.dst);
    g_reader.window = ZSTD_outBuffer{nullptr, 0, 0};
    release_workers();
}
