// The packer's command line run in-process, with what it prints captured, for the packer's tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli.h"

namespace pack_test {

// Runs the packer's command line in-process; what it prints goes into `out` and `err` when given.
inline int run_cli(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::ostringstream out_stream, err_stream;
    const int status = onefile::pack::run_cli(args, out_stream, err_stream);
    if (out != nullptr) *out = out_stream.str();
    if (err != nullptr) *err = err_stream.str();
    return status;
}

}  // namespace pack_test
