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

// The system's text for an errno value.
std::string system_error_text(int err);

// A path as messages show it: in single quotes, exactly as given.
std::string quote_path(const std::filesystem::path& path);

// Throws PackError("cannot <action> '<path>': <system text>"). Pass errno as read right after the
// failed call.
[[noreturn]] void throw_system_error(const std::string& action, const std::filesystem::path& path, int err);

}  // namespace onefile::pack
