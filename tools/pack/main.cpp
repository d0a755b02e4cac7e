#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "host.h"
#include "interrupt.h"

int main(int argc, char** argv) {
    // First, before any thread exists: the threads started later inherit the blocked signals.
    onefile::pack::install_interrupt_cleanup();
    onefile::pack::host_prepare_standard_streams();
    const std::vector<std::string> args = onefile::pack::host_arguments(argc, argv);
    const int status = onefile::pack::run_cli(args, std::cout, std::cerr,
                                              onefile::pack::CliTerminal{onefile::pack::host_stderr_is_terminal()});
    std::cout.flush();
    return status;
}
