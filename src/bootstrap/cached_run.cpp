#include "bootstrap/cached_run.h"

#include <cwchar>

#include "bootstrap/run_variables.h"
#include "child/cleanup.h"
#include "child/launch.h"
#include "common/bounded.h"
#include "common/errors.h"
#include "common/state.h"
#include "payload/attached_data.h"
#include "payload/cache.h"
#include "payload/directories.h"
#include "payload/extract.h"
#include "platform/platform.h"

namespace {

CachePaths g_paths;
wchar_t g_staging[PATH_CAPACITY];
int (*g_fallback)() = nullptr;

// Writing into the staging directory failed: it goes, and the run unpacks where every run does.
[[noreturn]] void abandon_staging(uint32_t code) {
    set_unpack_failure_handler(nullptr);
    platform_unmark_target_directory();
    remove_tree(g_staging);
    report_cache_unusable(g_paths.root, false, code);
    release_decoder();
    g_state.main_binary_path[0] = L'\0';
    platform_exit(g_fallback());
}

// Sets a damaged entry aside under a staging name (one rename, so no start ever sees it half
// removed) and removes it. False when it cannot be set aside; true also when another start has
// already taken it away.
bool set_aside(const wchar_t* entry) {
    wchar_t aside[PATH_CAPACITY];
    make_staging_path(g_paths, aside);
    switch (platform_rename_directory(entry, aside)) {
        case RenameResult::Renamed:
            remove_tree(aside);
            return true;
        case RenameResult::TargetExists:
            return false;
        case RenameResult::Failed:
            return platform_path_kind(entry) == PathKind::Absent;
    }
    return false;
}

// Unpacks into a new staging directory and publishes it as the entry. True when the entry is
// there and intact afterwards, published by this start or by one that won the race.
bool unpack_and_publish() {
    make_staging_path(g_paths, g_staging);
    bounded_copy(g_state.target_directory, PATH_CAPACITY, g_staging);
    g_state.main_binary_path[0] = L'\0';
    set_unpack_failure_handler(abandon_staging);
    validate_attached_data_header();
    extract_attached_data(Role::Parent);
    set_unpack_failure_handler(nullptr);
    // Held while unpacking, so that no sweep takes the staging directory for abandoned.
    platform_unmark_target_directory();

    const RenameResult published = platform_rename_directory(g_staging, g_paths.entry);
    const uint32_t error = platform_last_error();
    if (published == RenameResult::Renamed) return check_cache_entry(g_paths.entry) == CacheEntryState::Valid;
    remove_tree(g_staging);
    if (published == RenameResult::TargetExists && check_cache_entry(g_paths.entry) == CacheEntryState::Valid) {
        return true;  // another start published first: its files are the same
    }
    report_cache_unusable(g_paths.entry, false, published == RenameResult::TargetExists ? 0 : error);
    return false;
}

}  // namespace

bool run_cached(int* status, int (*fallback)()) {
    g_fallback = fallback;
    ensure_module_path();
    if (!cache_paths(g_module_path, attached_cache_digest(), &g_paths)) {
        report_cache_unusable(L"{CACHE_DIR}", false, platform_last_error());
        return false;
    }

    PrivateDirectory root = platform_private_directory(g_paths.root, true);
    if (root == PrivateDirectory::Failed) {
        // The cache folder itself may be missing on a fresh account: its missing levels are made
        // as the application's own directories are, private to the user.
        create_parent_directories(g_paths.entry);
        root = platform_private_directory(g_paths.root, true);
    }
    if (root != PrivateDirectory::Ready) {
        report_cache_unusable(g_paths.root, root == PrivateDirectory::Foreign, platform_last_error());
        return false;
    }

    switch (check_cache_entry(g_paths.entry)) {
        case CacheEntryState::Valid:
            break;
        case CacheEntryState::Foreign:
            report_cache_unusable(g_paths.entry, true, 0);
            return false;
        case CacheEntryState::Damaged:
            if (!set_aside(g_paths.entry)) {
                report_cache_unusable(g_paths.entry, false, platform_last_error());
                return false;
            }
            if (!unpack_and_publish()) return false;
            break;
        case CacheEntryState::Absent:
            if (!unpack_and_publish()) return false;
            break;
    }

    // The entry is in use from here on: its time of last use is now, and its mark keeps every
    // sweep away from it while this process lives.
    bounded_copy(g_state.target_directory, PATH_CAPACITY, g_paths.entry);
    platform_touch_directory(g_paths.entry);
    platform_mark_target_directory(g_paths.entry);
    publish_directory_variables();
    *status = run_main_binary_in_process();
    // Off the start-up path: the application has returned.
    sweep_cache_root(g_paths);
    return true;
}

void sweep_cache_root(const CachePaths& paths) {
    const wchar_t* name_of_executable = paths.entry_name;
    const size_t name_length = paths.executable_name_length;
    wchar_t root[PATH_CAPACITY];
    bounded_copy(root, PATH_CAPACITY, paths.root);
    const size_t root_length = wcslen(root);
    DirectoryWalk walk;
    if (!platform_open_directory(&walk, root, PATH_CAPACITY)) return;
    wchar_t path[PATH_CAPACITY];
    while (const wchar_t* name = platform_next_entry(&walk)) {
        const size_t length = wcslen(name);
        if (root_length + 1 + length + 1 > PATH_CAPACITY || wcscmp(name, paths.entry_name) == 0) continue;
        const bool entry = is_entry_name(name, name_of_executable, name_length);
        const bool staging = !entry && is_staging_name(name, name_of_executable, name_length);
        if (!entry && !staging) continue;
        wmemcpy(path, root, root_length);
        path[root_length] = PATH_SEPARATOR;
        wmemcpy(path + root_length + 1, name, length + 1);
        const bool unused =
            entry ? platform_directory_unused_for(path, CACHE_UNUSED_SECONDS) : platform_directory_is_abandoned(path);
        if (unused) remove_tree(path);
    }
    platform_close_directory(&walk);
}
