// The two kinds of executable the packer produces.
#pragma once

#include <optional>
#include <string_view>

namespace onefile::pack {

enum class Target { Windows, Linux };

// "windows" or "linux": the spelling of --target, of the kit directories and of link.txt.
std::string_view target_name(Target target);
// The inverse of target_name; nullopt for any other text.
std::optional<Target> parse_target(std::string_view name);

}  // namespace onefile::pack
