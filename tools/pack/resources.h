// What makes a Windows executable look finished in Explorer: an icon and a version resource.
// The packer makes their bytes itself, so that no text of the user's ever passes through a
// resource script's quoting rules; resource_section.h places them beside the launcher's manifest.
// Little-endian helpers for building such blocks are shared with the resource section writer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace onefile::pack {

// One image of an .ico file: its directory entry's fields and its bytes (a DIB or a PNG).
struct IconImage {
    std::uint8_t width = 0;  // 0 stands for 256
    std::uint8_t height = 0;
    std::uint8_t color_count = 0;
    std::uint8_t reserved = 0;
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    std::string bytes;
};

// The images of an .ico file's bytes. Throws PackError naming `source` when the header, the entry
// count, an entry's size or offset (within the file, no image empty) or an image's format (PNG
// signature or a bitmap header) is wrong.
std::vector<IconImage> parse_ico(const std::string& bytes, const std::string& source);

// The version resource's content. Strings are UTF-8; unset ones are left out of the resource.
struct VersionInfo {
    std::optional<std::string> product;
    std::optional<std::string> version;  // as given, e.g. "1.2"
    std::optional<std::string> company;
    std::optional<std::string> description;
    std::optional<std::string> copyright;
};

// "1" to "1.2.3.4": one to four dot-separated decimal numbers from 0 to 65535, the missing ones 0.
// nullopt for anything else.
std::optional<std::array<std::uint16_t, 4>> parse_version_number(const std::string& text);

// The VS_VERSION_INFO block: fixed file info with the numeric version (0.0.0.0 without one) for
// file and product, a StringFileInfo table 040904B0 with ProductName, ProductVersion, FileVersion,
// CompanyName, FileDescription, LegalCopyright (each only when given) and OriginalFilename, and
// the matching VarFileInfo translation. Throws PackError for text that is not UTF-8.
std::string version_resource(const VersionInfo& info, const std::string& original_filename);

// What the packer adds beside the manifest.
struct ExtraResources {
    std::vector<IconImage> icon;         // empty: no icon
    std::optional<std::string> version;  // a version_resource() block
};

// The RT_GROUP_ICON data for `icon` whose images are stored as RT_ICON 1..N in their order: the
// GRPICONDIR header and one entry per image with its directory fields, size and resource ID.
std::string icon_group(const std::vector<IconImage>& icon);

// Appends `value` as 2 or 4 little-endian bytes.
void put16(std::string& out, std::uint32_t value);
void put32(std::string& out, std::uint32_t value);

}  // namespace onefile::pack
