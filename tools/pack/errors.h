// How the packer reports failure: every problem becomes a PackError carrying one line of text; the
// command line prefixes it with "onefile-pack: " and exits with status 2.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace onefile::pack {

class PackError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The host's text for an error code of host_last_error() (errno on POSIX).
std::string system_error_text(int err);

// A path as messages show it: in single quotes, exactly as given, as UTF-8.
std::string quote_path(const std::filesystem::path& path);

// Throws PackError("cannot <action> '<path>': <system text>"). Pass the error code as read right after the
// failed call (host_last_error()).
[[noreturn]] void throw_system_error(const std::string& action, const std::filesystem::path& path, int err);

}  // namespace onefile::pack
