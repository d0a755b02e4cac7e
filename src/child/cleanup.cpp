#include "child/cleanup.h"

#include <cwchar>

#include "common/state.h"
#include "platform/platform.h"

namespace {

// One path buffer serves every level of the walk: each level appends its entry's name and cuts it
// off again, so the stack holds one buffer plus a walk record per level.
bool remove_tree_at(wchar_t* path, size_t length, int depth) {
    switch (platform_path_kind(path)) {
        case PathKind::Absent:
            return true;
        case PathKind::LinkToDirectory:
            return platform_remove_directory(path);
        case PathKind::LinkToFile:
        case PathKind::File:
            return platform_delete_file(path);
        case PathKind::Directory:
            break;
    }
    if (depth >= REMOVE_TREE_MAX_DEPTH) return false;

    DirectoryWalk walk;
    if (!platform_open_directory(&walk, path, PATH_CAPACITY)) return false;
    bool result = true;
    while (const wchar_t* name = platform_next_entry(&walk)) {
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        const size_t name_length = wcslen(name);
        if (length + 1 + name_length + 1 > PATH_CAPACITY) {
            result = false;  // a path we cannot spell is a path we cannot remove
            continue;
        }
        path[length] = PATH_SEPARATOR;
        wmemcpy(path + length + 1, name, name_length + 1);
        if (!remove_tree_at(path, length + 1 + name_length, depth + 1)) result = false;
        path[length] = L'\0';
    }
    platform_close_directory(&walk);
    if (!platform_remove_directory(path)) return false;
    return result;
}

}  // namespace

bool remove_tree(const wchar_t* path) {
    wchar_t buffer[PATH_CAPACITY];
    const size_t length = wcslen(path);
    if (length >= PATH_CAPACITY) return false;
    wmemcpy(buffer, path, length + 1);
    return remove_tree_at(buffer, length, 0);
}

void cleanup_target() {
    // Whoever takes the handle first waits for, ends and closes the child; the other thread sees
    // NO_PROCESS. So the handle is used by one thread at a time and closed exactly once.
    const ProcessHandle child = g_state.child_process.exchange(NO_PROCESS);
    if (child != NO_PROCESS) {
        if (!platform_wait_process(child, CHILD_GRACE_MS)) platform_terminate_process(child);
        platform_close_process(child);
    }
    if (!g_state.cleanup_armed.load()) return;
    platform_unmark_target_directory();
    for (int attempt = 0; attempt < CLEANUP_ATTEMPTS; ++attempt) {
        if (remove_tree(g_state.target_directory)) return;
        platform_sleep_ms(CLEANUP_PAUSE_MS);
    }
}

bool console_control_handler(int event) {
    switch (static_cast<ConsoleEvent>(event)) {
        case ConsoleEvent::CtrlC:
        case ConsoleEvent::CtrlBreak:
            // The child received the same event and decides what it means: an interactive
            // application may well go on. The parent keeps waiting for it and cleans up after it.
            if (g_state.child_process.load() != NO_PROCESS) return true;
            cleanup_target();
            break;
        case ConsoleEvent::Close:
        case ConsoleEvent::Logoff:
        case ConsoleEvent::Shutdown:
            cleanup_target();
            break;
        default:
            break;
    }
    return false;  // not consumed: the default handling ends the process
}
