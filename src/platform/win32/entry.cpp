// The Windows launcher's entry point: a wide GUI entry whose parameters are not used; the
// arguments come from the runtime's parsed command line.
#include "attached/attached.h"
#include "bootstrap/driver.h"
#include "platform/platform.h"
#include "windows_support.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    platform_start(0, nullptr);
    return run_launcher(onefile_attached_data, onefile_attached_size);
}
