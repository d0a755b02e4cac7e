// The launcher's driver: decides the role and runs every step in its fixed order. It is the top
// of the launcher: it calls everything, and nothing calls back into it.
#pragma once

#include <cstdint>

#include "common/state.h"

// Runs the launcher over the attached data (and the record of additions beside it, `extras_length`
// 0 when there is none) and returns the process exit status.
int run_launcher(const uint8_t* attached_data, uint64_t attached_length, const uint8_t* extras = nullptr,
                 uint64_t extras_length = 0);

// Parent unless VARNOK_ONEFILE_PARENT names a live process running this same executable.
Role decide_role();
