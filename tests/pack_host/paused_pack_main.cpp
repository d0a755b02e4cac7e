// onefile-pack as tools/pack/main.cpp builds it, plus one thing for the interrupt tests of the
// Windows-hosted packer: with ONEFILE_PACK_TEST_PAUSE=PHASE it prints "paused PHASE" on standard
// output when the pack reaches PHASE and then waits there for good, so that a test can send its
// Ctrl+C at a known point instead of guessing when the pack gets there.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "host.h"
#include "interrupt.h"

namespace {

std::optional<std::string> wanted_phase;

void pause_at(const char* phase) {
    if (!wanted_phase || *wanted_phase != phase) {
        return;
    }
    std::printf("paused %s\n", phase);
    std::fflush(stdout);
    // Only the interrupt cleanup, on a thread of its own, ends the wait.
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    onefile::pack::install_interrupt_cleanup();
    onefile::pack::host_prepare_standard_streams();
    wanted_phase = onefile::pack::host_environment_variable("ONEFILE_PACK_TEST_PAUSE");
    onefile::pack::set_phase_hook(pause_at);
    const std::vector<std::string> args = onefile::pack::host_arguments(argc, argv);
    const int status = onefile::pack::run_cli(args, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
