// Creation of the directories above each extracted file, with a cache of directories known to
// exist so that the files of one directory cost one creation attempt.
#pragma once

inline constexpr int DIRECTORY_CACHE_CAPACITY = 1024;

// Creates every missing directory above the file `path`. True when the directory directly above
// it exists at the end (or there is none to create).
bool create_parent_directories(const wchar_t* path);
// Creates one directory; true when it exists at the end. The cache is seeded with the user's home
// directory on first use; a drive designator ("X:") always counts as existing.
bool ensure_directory(const wchar_t* path);

// Seeds the cache with the user's home directory if it is still empty. A home directory that
// cannot be found ends the process (with the "{HOME}" expansion message).
void seed_directory_cache();

// For tests: the number of remembered directories, and forgetting them.
int directory_cache_count();
void directory_cache_reset();
