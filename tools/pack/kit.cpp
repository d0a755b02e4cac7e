#include "kit.h"

#include <cstdlib>
#include <string>

#include "errors.h"
#include "host.h"

namespace fs = std::filesystem;

namespace onefile::pack {

std::vector<fs::path> default_kit_candidates(Target target, const fs::path& exe_dir) {
    const std::string name(target_name(target));
    return {
        (exe_dir / ".." / "share" / "onefile" / name).lexically_normal(),
        // build/<preset>/bin beside build/<other preset>/share/onefile/<target>.
        (exe_dir / ".." / ".." / name / "share" / "onefile" / name).lexically_normal(),
    };
}

fs::path current_executable_dir() {
    fs::path exe;
    if (!host_executable_path(exe)) {
        throw PackError("cannot find the onefile-pack executable: " + system_error_text(host_last_error()));
    }
    return exe.parent_path();
}

fs::path find_kit_dir(Target target, const std::optional<fs::path>& override_dir) {
    std::optional<fs::path> chosen = override_dir;
    std::string from = "--kit";
    if (!chosen) {
        if (const std::optional<std::string> env = host_environment_variable("ONEFILE_KIT_DIR"); env && !env->empty()) {
            chosen = path_from_utf8(*env);
            from = "ONEFILE_KIT_DIR";
        }
    }
    if (chosen) {
        std::error_code error;
        if (!fs::is_directory(*chosen, error)) {
            throw PackError("the launcher kit directory " + quote_path(*chosen) + " (from " + from +
                            ") does not exist");
        }
        return fs::absolute(*chosen);
    }
    const std::vector<fs::path> candidates = default_kit_candidates(target, current_executable_dir());
    std::string tried;
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::is_directory(candidate, error)) {
            return candidate;
        }
        tried += (tried.empty() ? "" : ", ") + quote_path(candidate);
    }
    const std::string name(target_name(target));
    throw PackError("no launcher kit for target " + name + " (tried " + tried + "); build the " + name +
                    " preset first (cmake --preset " + name + " && cmake --build build/" + name +
                    "), or give the kit with --kit DIR or ONEFILE_KIT_DIR");
}

}  // namespace onefile::pack
