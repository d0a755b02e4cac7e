// The process-wide state the driver normally defines.
#include "bootstrap/state.h"
#include "platform/platform.h"

BootstrapState g_state;
wchar_t g_module_path[PATH_CAPACITY];
void ensure_module_path() { platform_fatal_stop(); }
