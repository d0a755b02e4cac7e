// The Linux launcher's entry point.
#include "attached/attached.h"
#include "bootstrap/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform_start(argc, argv);
    platform_exit(run_launcher(onefile_attached_data, onefile_attached_size, onefile_extras_data, onefile_extras_size));
}
