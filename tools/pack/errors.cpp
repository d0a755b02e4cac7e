#include "errors.h"

#include "host.h"

namespace onefile::pack {

std::string system_error_text(int err) { return host_error_text(err); }

std::string quote_path(const std::filesystem::path& path) { return "'" + path_to_utf8(path) + "'"; }

void throw_system_error(const std::string& action, const std::filesystem::path& path, int err) {
    throw PackError("cannot " + action + " " + quote_path(path) + ": " + system_error_text(err));
}

}  // namespace onefile::pack
