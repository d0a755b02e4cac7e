// The application's attached data, generated for each application by the packer and linked into
// read-only data; its length is a constant of the link.
#pragma once

#include <cstdint>

extern "C" const unsigned char onefile_attached_data[];
extern "C" const uint64_t onefile_attached_size;
