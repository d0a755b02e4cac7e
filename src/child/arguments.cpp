#include "child/arguments.h"

#include "common/errors.h"
#include "common/state.h"
#include "platform/platform.h"

wchar_t** build_child_arguments(int* count) {
    wchar_t** arguments = platform_command_line_arguments(count);
    if (arguments == nullptr || *count < 1) exit_command_line_unsplittable();
    ensure_module_path();
    // The user's own argument 0 reaches the child in VARNOK_ORIGINAL_ARGV0; the child is told the
    // path of the executable it runs.
    arguments[0] = g_module_path;
    return arguments;
}
