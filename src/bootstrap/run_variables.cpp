#include "bootstrap/run_variables.h"

#include <cstdio>
#include <cwchar>

#include "common/bounded.h"
#include "common/state.h"
#include "environment/env_bridge.h"
#include "environment/exe_path.h"
#include "platform/platform.h"

void prepare_parent_environment() {
    // Values inherited from another launcher would give this run its directory: start afresh.
    unset_bridged_env("VARNOK_ONEFILE_START");
    unset_bridged_env("VARNOK_ONEFILE_TIME_US");
    unset_bridged_env("VARNOK_ONEFILE_RANDOM");
    char text[128];
    snprintf(text, sizeof text, "%ld", static_cast<long>(platform_current_process_id()));
    wchar_t wide[128];
    bounded_widen(wide, 128, text);
    set_bridged_env("VARNOK_ONEFILE_PARENT", wide);
}

void publish_directory_variables() {
    // The plain form: a user who started the launcher through a link finds the files beside the
    // link, where they put them, not beside the link's target.
    wchar_t directory[PATH_CAPACITY];
    bounded_copy(directory, PATH_CAPACITY, get_own_executable_path(false));
    wchar_t* last_separator = wcsrchr(directory, PATH_SEPARATOR);
    if (last_separator != nullptr) *last_separator = L'\0';
    set_bridged_env("VARNOK_ONEFILE_DIRECTORY", directory);
    wchar_t** argv = platform_wargv();
    const wchar_t* argv0 = (platform_argc() > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : L"";
    set_bridged_env("VARNOK_ORIGINAL_ARGV0", argv0);
}
