#include "target.h"

namespace onefile::pack {

std::string_view target_name(Target target) { return target == Target::Windows ? "windows" : "linux"; }

std::optional<Target> parse_target(std::string_view name) {
    if (name == "windows") {
        return Target::Windows;
    }
    if (name == "linux") {
        return Target::Linux;
    }
    return std::nullopt;
}

}  // namespace onefile::pack
