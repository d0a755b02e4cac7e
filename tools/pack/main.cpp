#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "interrupt.h"

int main(int argc, char** argv) {
    // First, before any thread exists: the threads started later inherit the blocked signals.
    onefile::pack::install_interrupt_cleanup();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status =
        onefile::pack::run_cli(args, std::cout, std::cerr, onefile::pack::CliTerminal{::isatty(STDERR_FILENO) == 1});
    std::cout.flush();
    return status;
}
