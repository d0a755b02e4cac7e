#include "bootstrap/driver.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "bootstrap/bounded.h"
#include "bootstrap/errors.h"
#include "child/cleanup.h"
#include "child/launch.h"
#include "environment/env_bridge.h"
#include "environment/exe_path.h"
#include "environment/path_spec.h"
#include "payload/attached_data.h"
#include "payload/extract.h"
#include "platform/platform.h"

BootstrapState g_state;
wchar_t g_module_path[PATH_CAPACITY];

namespace {

constexpr const wchar_t TARGET_DIRECTORY_SPEC[] =
    L"{TEMP}" ONEFILE_SEPARATOR_TEXT L"onefile_{PID}_{TIME_US}_{RANDOM}";

void publish_parent_id() {
    char text[128];
    snprintf(text, sizeof text, "%ld", static_cast<long>(platform_current_process_id()));
    wchar_t wide[128];
    bounded_widen(wide, 128, text);
    set_bridged_env("VARNOK_ONEFILE_PARENT", wide);
}

// The directory that holds the launcher's executable, for the application to find files beside it.
void publish_directory_variables() {
    wchar_t directory[PATH_CAPACITY];
    bounded_copy(directory, PATH_CAPACITY, get_own_executable_path(false));
    wchar_t* last_separator = wcsrchr(directory, PATH_SEPARATOR);
    if (last_separator != nullptr) *last_separator = L'\0';
    set_bridged_env("VARNOK_ONEFILE_DIRECTORY", directory);
    wchar_t** argv = platform_wargv();
    const wchar_t* argv0 = (platform_argc() > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : L"";
    set_bridged_env("VARNOK_ORIGINAL_ARGV0", argv0);
}

}  // namespace

void ensure_module_path() {
    if (g_module_path[0] != L'\0') return;
    const uint32_t length = platform_module_file_name(g_module_path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) platform_fatal_stop();
}

Role decide_role() {
    wchar_t* marker = get_env_wide("VARNOK_ONEFILE_PARENT");
    if (marker == nullptr) return Role::Parent;
    errno = 0;
    wchar_t* end = nullptr;
    const long pid = wcstol(marker, &end, 10);
    // A process id is a signed 32-bit number here whatever the width of long.
    const bool valid = errno != ERANGE && end != marker && *end == L'\0' && pid >= INT32_MIN && pid <= INT32_MAX;
    const bool child = valid && process_runs_own_executable(static_cast<uint32_t>(pid));
    free(marker);
    return child ? Role::Child : Role::Parent;
}

int run_launcher(const uint8_t* attached_data, uint64_t attached_length) {
    set_attached_data(attached_data, attached_length);
    const Role role = decide_role();

    if (role == Role::Parent) {
        // Values inherited from another launcher would give this run its directory: start afresh.
        unset_bridged_env("VARNOK_ONEFILE_START");
        unset_bridged_env("VARNOK_ONEFILE_TIME_US");
        unset_bridged_env("VARNOK_ONEFILE_RANDOM");
        publish_parent_id();
    }

    // Tested before the path is made absolute, so a failed expansion is always reported.
    if (!expand_path_spec(g_state.target_directory, TARGET_DIRECTORY_SPEC, PATH_CAPACITY)) {
        abort_with_error(TARGET_DIRECTORY_SPEC);
    }
    make_target_directory_absolute();

    if (role == Role::Parent && !platform_register_console_handler(console_control_handler)) {
        exit_handler_registration_error();
    }
    validate_attached_data_header(role);
    extract_attached_data(role);
    if (role == Role::Child) return run_main_binary();

    publish_directory_variables();
    return static_cast<int>(launch_child_and_wait());
}
