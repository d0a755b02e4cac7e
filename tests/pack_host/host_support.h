// Helpers for the host layer tests: a scratch directory of the packer's own making, and whole-file
// reads and writes through the host layer.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "file_io.h"
#include "host.h"

namespace host_test {

namespace fs = std::filesystem;

inline void write_through_host(const fs::path& path, const std::string& content) {
    onefile::pack::UniqueFd fd(onefile::pack::host_create_new(path, false));
    ASSERT_TRUE(fd) << onefile::pack::host_error_text(onefile::pack::host_last_error());
    onefile::pack::write_all(fd.get(), content.data(), content.size(), path);
    fd.close_checked(path);
}

inline std::string read_through_host(const fs::path& path) {
    onefile::pack::UniqueFd fd(onefile::pack::host_open_read(path, false));
    EXPECT_TRUE(fd) << onefile::pack::path_to_utf8(path);
    std::string content;
    if (!fd) return content;
    char buffer[4096];
    for (;;) {
        const std::size_t got = onefile::pack::read_some(fd.get(), buffer, sizeof buffer, path);
        if (got == 0) break;
        content.append(buffer, got);
    }
    return content;
}

}  // namespace host_test
