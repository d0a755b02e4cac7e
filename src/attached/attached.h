// The application's attached data, generated for each application by the packer and linked into
// read-only data; its length is a constant of the link. Right behind it the packer places its
// record of additions (file times and the like), which may be empty.
#pragma once

#include <cstdint>

extern "C" const unsigned char onefile_attached_data[];
extern "C" const uint64_t onefile_attached_size;
extern "C" const unsigned char onefile_extras_data[];
extern "C" const uint64_t onefile_extras_size;
