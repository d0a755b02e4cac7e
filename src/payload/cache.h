// Cached extraction, for executables the packer marked: the application is unpacked once into
// the user's cache, "{CACHE_DIR}/onefile/<name>-<16 hex digits of the attached data's digest>",
// and later starts run it from there. This part names the paths, checks that a published entry is
// still what was published, and names the private staging directories a first start unpacks into
// before it publishes them with one rename.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/state.h"

// Entries of other versions of the same executable are removed once unused this long.
inline constexpr uint32_t CACHE_UNUSED_SECONDS = 30u * 24u * 3600u;
// The executable's name in an entry's name is cut to this many code units.
inline constexpr size_t CACHE_NAME_CAPACITY = 64;
// Hex digits of the digest in an entry's name.
inline constexpr size_t CACHE_DIGEST_DIGITS = 16;

struct CachePaths {
    wchar_t root[PATH_CAPACITY];    // {CACHE_DIR}/onefile
    wchar_t entry[PATH_CAPACITY];   // root/<name>-<digits>
    const wchar_t* entry_name;      // "<name>-<digits>", inside `entry`
    size_t executable_name_length;  // the length of "<name>"
};

// The name an executable gives its entries: the last component of `module_path` without a final
// ".exe" (any letter case), cut to CACHE_NAME_CAPACITY code units without splitting a surrogate
// pair. Writes it into `out` (CACHE_NAME_CAPACITY + 1 code units) and returns its length.
size_t cache_executable_name(const wchar_t* module_path, wchar_t* out);

// Fills `paths` for this executable and the attached data's `digest` (CACHE_DIGEST_SIZE bytes).
// False when the cache folder cannot be had or the paths would not leave room for the files.
bool cache_paths(const wchar_t* module_path, const uint8_t* digest, CachePaths* paths);

enum class CacheEntryState { Valid, Absent, Damaged, Foreign };
// Checks the entry at `entry` against the file table, cheaply: the entry is a private directory of
// the user's (Foreign otherwise: it is not to be used or followed), every directory on the way to
// a file is a real directory, and every file is a regular file of the user's with the size the
// table gives and, where the executable records times, the second of its recorded time (edits
// that keep a file's size change its time). Not caught: a changed byte that keeps size and time,
// and files added beside the application's own. On Valid, main_binary_path is the entry's main
// binary. A damaged file table ends the process as extraction would.
CacheEntryState check_cache_entry(const wchar_t* entry);

// A new name beside the entry, for unpacking into or for setting a damaged entry aside:
// root/.<name>-<digits>.<process id>-<random token>. Written into `out` (PATH_CAPACITY).
void make_staging_path(const CachePaths& paths, wchar_t* out);

// True for "<executable name>-" followed by CACHE_DIGEST_DIGITS lower-case hex digits: an entry of
// this executable (of any version).
bool is_entry_name(const wchar_t* name, const wchar_t* executable_name, size_t executable_name_length);
// True for "." followed by an entry name of this executable and "." and more: a staging directory.
bool is_staging_name(const wchar_t* name, const wchar_t* executable_name, size_t executable_name_length);
