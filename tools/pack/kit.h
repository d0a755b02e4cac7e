// Finding the launcher kit of a target: the directory with the finished launcher of that target
// and what ships beside it.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "target.h"

namespace onefile::pack {

// The kit directories looked for beside an onefile-pack in <exe_dir>: its own build or install
// tree first, then the sibling build tree of the other target.
std::vector<std::filesystem::path> default_kit_candidates(Target target, const std::filesystem::path& exe_dir);

// The directory of the running executable.
std::filesystem::path current_executable_dir();

// The kit to use: `override_dir` (--kit), else $ONEFILE_KIT_DIR, else the first existing default
// candidate beside the running executable. Throws PackError naming what was tried.
std::filesystem::path find_kit_dir(Target target, const std::optional<std::filesystem::path>& override_dir);

}  // namespace onefile::pack
