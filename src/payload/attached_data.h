// The launcher's reader of its own attached data (format in common/attached_format.h): the header
// check and the walk over the file table. Every defect ends the process with "couldn't find
// attached data header".
#pragma once

#include <cstdint>

#include "common/attached_format.h"
#include "common/extras.h"

// Where the attached data lies; set by the driver before anything reads it.
void set_attached_data(const uint8_t* start, uint64_t length);
// Where the record of additions that the packer put beside it lies (`length` 0: there is none).
void set_attached_extras(const uint8_t* start, uint64_t length);
// The modification times of the file entries, from that record; empty without one.
const FileTimes& attached_file_times();
// The digest of the attached data when the packer marked the executable for cached extraction
// (CACHE_DIGEST_SIZE bytes), else null.
const uint8_t* attached_cache_digest();

// Checks the header (in both roles also that there is one: a child reached through a forged
// parent id must not read past the data either) and prepares the file table walk.
void validate_attached_data_header();
// Parses the entry at the cursor and moves past it; a malformed entry ends the process.
FileEntry read_file_entry();
// Ends the process unless the cursor stands exactly at the end of the file table.
void file_table_fully_read();

bool file_table_empty();
// Where the file table begins: a reader of its own (the parallel extraction's plan) starts there.
const uint8_t* file_table_start();
const uint8_t* compressed_stream_start();
uint64_t compressed_stream_size();
