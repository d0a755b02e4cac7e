// The resource section of a Windows executable, written by the packer itself: the launcher's
// manifest always, the icon and the version information when asked for. Once laid out, the section
// is what the loader and the shell read through FindResource and LoadResource: a directory of three
// levels (type, name, language) with IDs only, the data entries below it, and the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "resources.h"

namespace onefile::pack {

inline constexpr std::uint16_t RT_ICON = 3;
inline constexpr std::uint16_t RT_GROUP_ICON = 14;
inline constexpr std::uint16_t RT_VERSION = 16;
inline constexpr std::uint16_t RT_MANIFEST = 24;
// The manifest the loader reads when it starts a process (CREATEPROCESS_MANIFEST_RESOURCE_ID).
inline constexpr std::uint16_t PROCESS_MANIFEST_ID = 1;
// U.S. English, the language the version's string table 040904B0 names.
inline constexpr std::uint16_t RESOURCE_LANGUAGE = 0x0409;

// One resource, named by numbers only.
struct ResourceItem {
    std::uint16_t type = 0;
    std::uint16_t id = 0;
    std::uint16_t language = 0;
    std::string data;
};

// The launcher's resources: RT_MANIFEST 1 with `manifest`, then
// RT_ICON 1..N with the icon's images and RT_GROUP_ICON 1 naming them, and RT_VERSION 1; all in
// RESOURCE_LANGUAGE.
std::vector<ResourceItem> launcher_resources(const std::string& manifest, const ExtraResources& extra);

// Data blocks start at a multiple of this within the section (as Windows' own tools lay them out),
// so that a block read as 32- or 64-bit values, such as the version's, is aligned in memory.
inline constexpr std::uint32_t RESOURCE_DATA_ALIGNMENT = 8;

// The bytes of a resource section whose first byte lies at `section_rva` in the image: the
// directory tables (root, then one per type, then one per name; each IMAGE_RESOURCE_DIRECTORY
// with a zero time stamp, followed by ID entries in ascending order, which the loader's binary
// search relies on), the IMAGE_RESOURCE_DATA_ENTRY records (whose OffsetToData is an RVA), and the
// data, each block starting at a multiple of RESOURCE_DATA_ALIGNMENT and padded to one, so the
// section's size is one too. The order of `items` does not matter: the same set gives the same
// bytes. Throws PackError for two items with the same type, id and language, for a `section_rva`
// that is not a multiple of RESOURCE_DATA_ALIGNMENT (sections begin on page boundaries), and for
// a section that would reach past 4 GiB of address space.
std::string resource_section(std::vector<ResourceItem> items, std::uint32_t section_rva);

}  // namespace onefile::pack
