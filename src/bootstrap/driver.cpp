#include "bootstrap/driver.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "bootstrap/cached_run.h"
#include "bootstrap/run_variables.h"
#include "child/cleanup.h"
#include "child/launch.h"
#include "common/bounded.h"
#include "common/errors.h"
#include "environment/env_bridge.h"
#include "environment/exe_path.h"
#include "environment/path_spec.h"
#include "payload/attached_data.h"
#include "payload/extract.h"
#include "platform/platform.h"

namespace {

constexpr const wchar_t TARGET_DIRECTORY_SPEC[] = L"{TEMP}" ONEFILE_SEPARATOR_TEXT L"onefile_{PID}_{TIME_US}_{RANDOM}";

}  // namespace

namespace {

// The process id VARNOK_ONEFILE_PARENT names, if it holds one.
bool marked_parent(uint32_t* pid) {
    wchar_t* marker = get_env_wide("VARNOK_ONEFILE_PARENT");
    if (marker == nullptr) return false;
    errno = 0;
    wchar_t* end = nullptr;
    const long value = wcstol(marker, &end, 10);
    // A process id is a signed 32-bit number here whatever the width of long.
    const bool valid = errno != ERANGE && end != marker && *end == L'\0' && value >= INT32_MIN && value <= INT32_MAX;
    platform_free(marker);
    *pid = static_cast<uint32_t>(value);
    return valid;
}

}  // namespace

Role decide_role() {
    uint32_t pid = 0;
    if (!marked_parent(&pid) || !process_runs_own_executable(pid)) return Role::Parent;
    // The values a parent published for its child must look like what a parent makes: anything
    // else (a path, say) would choose the directory the child loads its main binary from.
    return inherited_run_values_are_well_formed() ? Role::Child : Role::Parent;
}

namespace {

// The ordinary run: unpack into a fresh temporary directory, then run the child (parent) or the
// main binary (child).
int unpack_and_run(Role role) {
    // Tested before the path is made absolute, so a failed expansion is always reported.
    if (!expand_path_spec(g_state.target_directory, TARGET_DIRECTORY_SPEC, PATH_CAPACITY)) {
        abort_with_error(TARGET_DIRECTORY_SPEC);
    }
    make_target_directory_absolute();

    if (role == Role::Parent && !platform_register_console_handler(console_control_handler)) {
        exit_handler_registration_error();
    }
    validate_attached_data_header();
    // From here on a cleanup removes the target directory.
    g_state.cleanup_armed.store(true);
    extract_attached_data(role);
    if (role == Role::Child) return run_main_binary();

    publish_directory_variables();
    return static_cast<int>(launch_child_and_wait());
}

int unpack_and_run_parent() { return unpack_and_run(Role::Parent); }

}  // namespace

int run_launcher(const uint8_t* attached_data, uint64_t attached_length, const uint8_t* extras,
                 uint64_t extras_length) {
    set_attached_data(attached_data, attached_length);
    set_attached_extras(extras, extras_length);
    if (!platform_own_image_known()) exit_own_image_unknown();
    // A child never outlives the parent that started it, not even when the parent ends before the
    // child has decided its role (it would otherwise take itself for a parent and run unwatched).
    platform_end_with_parent();
    const Role role = decide_role();
    if (role == Role::Parent) prepare_parent_environment();

    // A marked executable runs from the user's cache, in this process; where the cache cannot be
    // used, it runs as every other does.
    if (role == Role::Parent && attached_cache_digest() != nullptr) {
        int status = 0;
        if (run_cached(&status, unpack_and_run_parent)) return status;
    }
    return unpack_and_run(role);
}
