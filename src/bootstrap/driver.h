// The launcher's driver: decides the role and runs every step in its fixed order.
#pragma once

#include <cstdint>

#include "bootstrap/state.h"

// Runs the launcher over the attached data and returns the process exit status.
int run_launcher(const uint8_t* attached_data, uint64_t attached_length);

// Parent unless VARNOK_ONEFILE_PARENT names a live process running this same executable.
Role decide_role();
