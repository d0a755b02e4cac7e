// Streaming extraction of the attached data into the target directory.
#pragma once

#include <cstdint>

#include "common/state.h"

inline constexpr uint32_t WINDOW_SIZE = 131072;
inline constexpr uint32_t WRITE_CHUNK_SIZE = 32768;

// Parent: writes every file below the target directory and releases the decoder. Child: records
// the first entry's path as the main binary and returns without writing anything. Every failure
// ends the process with its message.
void extract_attached_data(Role role);

// Frees the decoder and its window if they are allocated. Extraction calls it when it is done;
// a harness that stops extraction midway calls it to start afresh.
void release_decoder();

// Copies exactly `count` (1 to 32768) decompressed bytes into `destination`, refilling the window
// from the decoder as needed; a stream that ends short or is corrupt ends the process.
void read_stream_bytes(uint8_t* destination, uint32_t count);
