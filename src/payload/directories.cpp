#include "payload/directories.h"

#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "common/bounded.h"
#include "common/errors.h"
#include "common/state.h"
#include "environment/path_spec.h"
#include "platform/platform.h"

namespace {

wchar_t* g_cache[DIRECTORY_CACHE_CAPACITY];
int g_cache_count = 0;

bool remember(const wchar_t* path) {
    if (g_cache_count >= DIRECTORY_CACHE_CAPACITY) return false;  // still created, just not remembered
    const size_t length = wcslen(path);
    auto* copy = static_cast<wchar_t*>(platform_allocate((length + 1) * sizeof(wchar_t)));
    if (copy == nullptr) return false;
    wmemcpy(copy, path, length + 1);
    g_cache[g_cache_count++] = copy;
    return true;
}

// Ends the path at its last separator, never looking at the first code unit. False when there is
// none: nothing above it to create.
bool cut_at_parent(wchar_t* path) {
    for (size_t i = wcslen(path); i > 1; --i) {
        if (path[i - 1] == PATH_SEPARATOR) {
            path[i - 1] = L'\0';
            return true;
        }
    }
    return false;
}

}  // namespace

void seed_directory_cache() {
    if (g_cache_count != 0) return;
    wchar_t home[PATH_CAPACITY];
    if (!expand_path_spec(home, L"{HOME}", PATH_CAPACITY)) abort_with_error(L"{HOME}");
    remember(home);
}

bool ensure_directory(const wchar_t* path) {
    seed_directory_cache();
    for (int i = 0; i < g_cache_count; ++i) {
        if (wcscmp(g_cache[i], path) == 0) return true;
    }
    if (wcslen(path) == 2 && path[1] == L':') return true;  // a drive designator exists or never will

    const CreateDirResult result = platform_create_directory(path);
    const bool exists = result != CreateDirResult::Failed;
    if (exists) remember(path);
    return exists;
}

bool create_parent_directories(const wchar_t* path) {
    // The walk climbs while creation fails and then creates the missing levels from the top down,
    // the same order of attempts as a recursion with one level per missing directory; iterating
    // keeps a path of two thousand components from needing two thousand stack buffers.
    wchar_t parent[PATH_CAPACITY];
    bounded_copy(parent, PATH_CAPACITY, path);
    if (!cut_at_parent(parent)) return true;
    if (ensure_directory(parent)) return true;

    // Climb: each failed level is remembered by its length, so one buffer serves every level.
    // Every level is strictly shorter than the one below it, so there are fewer levels than
    // code units in the buffer.
    uint16_t failed_lengths[PATH_CAPACITY];
    size_t failed = 0;
    failed_lengths[failed++] = static_cast<uint16_t>(wcslen(parent));
    wchar_t level[PATH_CAPACITY];
    bounded_copy(level, PATH_CAPACITY, parent);
    while (cut_at_parent(level)) {
        if (ensure_directory(level)) break;
        if (failed >= PATH_CAPACITY) platform_fatal_stop();
        failed_lengths[failed++] = static_cast<uint16_t>(wcslen(level));
    }
    // Descend: retry every level that failed on the way up, nearest the root first; the results of
    // the inner levels are not used, only the last (the file's own directory) is.
    bool result = false;
    while (failed > 0) {
        const size_t length = failed_lengths[--failed];
        wmemcpy(level, parent, length);
        level[length] = L'\0';
        result = ensure_directory(level);
    }
    return result;
}

int directory_cache_count() { return g_cache_count; }

void directory_cache_reset() {
    for (int i = 0; i < g_cache_count; ++i) platform_free(g_cache[i]);
    g_cache_count = 0;
}
