// The application's attached data as this executable carries it: placed by the packer in
// read-only data that the system maps with the image, and found through the locator record.
#pragma once

#include <cstdint>

#include "common/attached_locator.h"

// The launcher's own locator record, filled in by the packer.
extern "C" const AttachedLocator onefile_locator;

struct AttachedBytes {
    const uint8_t* attached = nullptr;
    uint64_t attached_size = 0;
    const uint8_t* extras = nullptr;
    uint64_t extras_size = 0;
};

// Where the attached data and the record behind it lie in memory; both empty in a launcher
// nothing was attached to.
AttachedBytes attached_bytes();
