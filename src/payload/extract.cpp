#include "payload/extract.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/bounded.h"
#include "common/errors.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "platform/platform.h"

namespace {

ZSTD_DCtx* g_decoder = nullptr;
ZSTD_inBuffer g_input{};
ZSTD_outBuffer g_window{};
// Whether the most recent decompression call filled the whole window: the decoder may then still
// hold output although it has consumed all input. The mark lives from one read to the next, so
// intact data whose last block ends past a window boundary is always read to its end.
bool g_window_filled = false;
// What the most recent decompression call returned: 0 once a frame has ended (and its checksum, if
// it carries one, has matched).
size_t g_last_result = 1;

uint8_t g_write_buffer[WRITE_CHUNK_SIZE];

// The compressed stream is read in place from the executable's mapped image; pages already
// consumed are handed back every 2 MiB, so they do not pile up in the resident set.
constexpr size_t RELEASE_STEP = size_t{2} << 20;
size_t g_input_released = 0;

void release_consumed_input() {
    if (g_input.pos - g_input_released < RELEASE_STEP) return;
    platform_release_read_pages(static_cast<const uint8_t*>(g_input.src) + g_input_released,
                                g_input.pos - g_input_released);
    g_input_released = g_input.pos;
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
    // Interpreters compare a module's time with the one recorded in its compiled cache: the file
    // keeps the time it had when it was packed, set through the handle it was written with.
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    if (file_time_at(attached_file_times(), index, &seconds, &nanoseconds)) {
        platform_set_file_time(file, seconds, nanoseconds);
    }
    platform_close_file(file);
}

// The library running out of memory (a frame window larger than a limit set on this process, say)
// is reported as that, not as damaged data.
[[noreturn]] void exit_decoder_error(size_t result) {
    if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) exit_out_of_memory();
    exit_decode_error();
}

// The packer ends its frame with a content checksum. The frame header says so: the magic number,
// then a descriptor byte whose bit 2 is the checksum flag. Data packed without one (older
// executables) is read as before, without the end checks.
bool stream_carries_checksum() {
    const uint8_t* stream = compressed_stream_start();
    return compressed_stream_size() >= 5 && load_le32(stream) == ZSTD_MAGICNUMBER && (stream[4] & 0x04) != 0;
}

// After the last file: the frame must end, with a matching checksum, exactly where the compressed
// stream ends, and yield nothing beyond the files. A damaged executable never reaches its child.
void check_stream_end() {
    if (g_window.pos < g_window.size) exit_decode_error();  // more content than the file table holds
    while (g_last_result != 0) {
        const size_t consumed = g_input.pos;
        g_window.pos = 0;
        g_window.size = WINDOW_SIZE;
        g_last_result = ZSTD_decompressStream(g_decoder, &g_window, &g_input);
        if (ZSTD_isError(g_last_result)) exit_decoder_error(g_last_result);
        if (g_window.pos != 0) exit_decode_error();
        // A frame that needs more than the stream holds, or a call that moved nothing, never ends.
        if (g_last_result != 0 && (g_input.pos >= g_input.size || g_input.pos == consumed)) exit_decode_error();
    }
    g_window.pos = 0;
    g_window.size = 0;
    if (g_input.pos != g_input.size) exit_decode_error();  // bytes after the frame
}

}  // namespace

void read_stream_bytes(uint8_t* destination, uint32_t count) {
    while (count > 0) {
        if (g_window.pos < g_window.size) {
            size_t take = g_window.size - g_window.pos;
            if (take > count) take = count;
            memcpy(destination, static_cast<const uint8_t*>(g_window.dst) + g_window.pos, take);
            destination += take;
            g_window.pos += take;
            count -= static_cast<uint32_t>(take);
            continue;
        }
        if (g_input.pos >= g_input.size && !g_window_filled) exit_decode_error();
        g_window.pos = 0;
        g_window.size = WINDOW_SIZE;
        g_last_result = ZSTD_decompressStream(g_decoder, &g_window, &g_input);
        g_window_filled = g_window.pos == WINDOW_SIZE;
        if (ZSTD_isError(g_last_result)) exit_decoder_error(g_last_result);
        release_consumed_input();
        g_window.size = g_window.pos;
        g_window.pos = 0;
    }
}

void extract_attached_data(Role role) {
    void* window = platform_allocate(WINDOW_SIZE);
    if (window == nullptr) exit_out_of_memory();
    g_window = ZSTD_outBuffer{window, 0, 0};
    g_decoder = ZSTD_createDCtx();
    if (g_decoder == nullptr) exit_out_of_memory();
    g_input = ZSTD_inBuffer{compressed_stream_start(), static_cast<size_t>(compressed_stream_size()), 0};
    g_input_released = 0;
    g_window_filled = false;
    g_last_result = 1;

    bool target_claimed = false;
    bool target_marked = false;
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
            if (!target_claimed) {
                // The home directory is known before anything is created: without one the run
                // ends here and leaves nothing behind.
                seed_directory_cache();
                if (!platform_claim_target_directory(g_state.target_directory)) {
                    exit_unpack_error(platform_last_error());
                }
                target_claimed = true;
            }
            create_parent_directories(g_state.output_path);
            if (!target_marked) {
                // From now on every other launcher sees this directory as a live run's.
                platform_mark_target_directory(g_state.target_directory);
                target_marked = true;
            }
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
    ZSTD_freeDCtx(g_decoder);
    g_decoder = nullptr;
    platform_free(g_window.dst);
    g_window = ZSTD_outBuffer{nullptr, 0, 0};
}
