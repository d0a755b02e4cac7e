// The Windows launcher's entry point. The executable is built for the GUI subsystem (or, with
// onefile-pack --console, the console one) with the wide runtime start-up, which calls wmain in
// both; its parameters are not used: the driver takes the
// runtime's parsed argument vector through the platform layer.
#include "attached/attached.h"
#include "bootstrap/driver.h"
#include "platform/platform.h"

int wmain(int, wchar_t**) {
    platform_start(0, nullptr);
    const AttachedBytes bytes = attached_bytes();
    return run_launcher(bytes.attached, bytes.attached_size, bytes.extras, bytes.extras_size);
}
