#include "child/launch.h"

#include "child/arguments.h"
#include "child/cleanup.h"
#include "child/sweep.h"
#include "common/errors.h"
#include "common/state.h"
#include "platform/platform.h"

namespace {

int call_main_binary(int argc, wchar_t** argv) {
    platform_add_library_directory(g_state.target_directory);
    void* library = platform_load_main_binary(g_state.main_binary_path);
    if (library == nullptr) exit_load_error(platform_last_error());
    const MainBinaryEntry entry = platform_main_binary_entry(library);
    if (entry == nullptr) exit_entry_not_found();
    return entry(argc, argv, g_state.main_binary_path);
}

}  // namespace

int run_main_binary() { return call_main_binary(platform_argc(), platform_wargv()); }

int run_main_binary_in_process() {
    int count = 0;
    wchar_t** arguments = build_child_arguments(&count);
    platform_enter_application();
    return call_main_binary(count, arguments);
}

uint32_t launch_child_and_wait() {
    ensure_module_path();
    int count = 0;
    wchar_t** arguments = build_child_arguments(&count);
    // Two handles to the one child: this thread waits on its own, and a console event takes the
    // shared one, so neither thread ever closes a handle the other is still using.
    platform_set_child_library_directory(g_state.target_directory);
    ProcessHandle own = NO_PROCESS;
    switch (platform_start_child(g_module_path, count, arguments, &g_state.child_process, &own)) {
        case ChildStart::Started:
            break;
        case ChildStart::CommandLineTooLong:
            exit_command_line_too_long();
        case ChildStart::Failed:
            exit_launch_error(platform_last_error());
    }

    // Off the start-up path: the application is already running.
    sweep_abandoned_directories();
    platform_wait_process(own, UINT32_MAX);
    uint32_t status = 1;
    if (!platform_process_exit_status(own, &status)) status = 1;
    platform_close_process(own);
    const ProcessHandle unused = g_state.child_process.exchange(NO_PROCESS);
    if (unused != NO_PROCESS) platform_close_process(unused);

    cleanup_target();
    return status;
}
