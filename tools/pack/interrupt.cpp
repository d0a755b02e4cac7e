#include "interrupt.h"

#include <map>
#include <system_error>

#include "host.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<int, std::pair<fs::path, TemporaryKind>> paths;
    int next_id = 1;
};

Registry& registry() {
    // Never destroyed: the cleanup thread may still use it while static destructors run.
    static Registry* instance = new Registry;
    return *instance;
}

void clean_up(int) {
    Registry& reg = registry();
    // Kept to the end, never unlocked: the main thread blocks at its next creation instead of
    // racing the removal, and the host ends the process after this returns.
    std::unique_lock lock(reg.mutex);
    // A scratch file still open would keep its directory on Windows.
    host_close_anonymous_files();
    for (const auto& [id, entry] : reg.paths) {
        std::error_code ignored;
        if (entry.second == TemporaryKind::Tree) {
            fs::remove_all(entry.first, ignored);
        } else {
            fs::remove(entry.first, ignored);
        }
    }
    lock.release();
}

}  // namespace

std::unique_lock<std::mutex> lock_temporaries() { return std::unique_lock(registry().mutex); }

int register_temporary(const fs::path& path, TemporaryKind kind) {
    Registry& reg = registry();
    const int id = reg.next_id++;
    reg.paths.emplace(id, std::make_pair(path, kind));
    return id;
}

void forget_temporary(int id) { registry().paths.erase(id); }

namespace {
PhaseHook phase_hook = nullptr;
}

void set_phase_hook(PhaseHook hook) { phase_hook = hook; }

void reached_phase(const char* phase) {
    if (phase_hook != nullptr) {
        phase_hook(phase);
    }
}

void install_interrupt_cleanup() { host_install_interrupt_handler(clean_up); }

}  // namespace onefile::pack
