#include "common/state.h"

BootstrapState g_state;
wchar_t g_module_path[PATH_CAPACITY];

void ensure_module_path() {
    if (g_module_path[0] != L'\0') return;
    const uint32_t length = platform_module_file_name(g_module_path, PATH_CAPACITY);
    if (length == 0 || length >= PATH_CAPACITY) platform_fatal_stop();
}
