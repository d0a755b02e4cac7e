// The onefile-pack command line, callable in-process: main() only forwards to it.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace onefile::pack {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_USAGE = 1;
inline constexpr int EXIT_FAILURE_STATUS = 2;

// Runs onefile-pack with `args` (without the program name). Normal output goes to `out`; errors go
// to `err` as one line starting with "onefile-pack: " (a failed link's compiler output comes
// first). Returns the exit status: 0 success, 1 usage error, 2 failure.
int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// What run_cli needs to know about where `err` goes.
struct CliTerminal {
    // `err` is a terminal: a pack that runs longer than `progress_delay` shows a progress line there
    // (unless --quiet), redrawn at most four times a second and cleared when the pack ends.
    bool err_is_terminal = false;
    std::chrono::milliseconds progress_delay{1000};
};

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, const CliTerminal& terminal);

}  // namespace onefile::pack
