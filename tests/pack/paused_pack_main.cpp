// onefile-pack as main.cpp builds it, plus one thing for the interrupt tests: with
// ONEFILE_PACK_TEST_PAUSE=PHASE it writes "paused PHASE\n" to descriptor 3 when the pack reaches
// PHASE and then waits there for good, so that a test can send its signal at a known point
// instead of guessing when the pack gets there.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "interrupt.h"

namespace {

const char* wanted_phase = nullptr;

void pause_at(const char* phase) {
    if (wanted_phase == nullptr || std::strcmp(phase, wanted_phase) != 0) {
        return;
    }
    const std::string line = std::string("paused ") + phase + "\n";
    if (::write(3, line.data(), line.size()) < 0) {
        std::_Exit(99);
    }
    // The interrupt signals are blocked in this thread: only the cleanup thread ends the wait.
    for (;;) {
        ::pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    onefile::pack::install_interrupt_cleanup();
    wanted_phase = std::getenv("ONEFILE_PACK_TEST_PAUSE");
    onefile::pack::set_phase_hook(pause_at);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = onefile::pack::run_cli(args, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
