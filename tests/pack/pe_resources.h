// A small reader of what the tests check in a linked Windows executable: the subsystem in the
// optional header and the resources below the resource directory. Every offset is checked against
// the file, and every directory must list its named entries first and its IDs in ascending order,
// as the loader's binary search needs; a malformed executable gives PeError, never a read outside
// the bytes.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace pe_test {

class PeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint16_t RT_ICON = 3;
inline constexpr std::uint16_t RT_GROUP_ICON = 14;
inline constexpr std::uint16_t RT_VERSION = 16;
inline constexpr std::uint16_t RT_MANIFEST = 24;

// A resource's type, name or language: a number, or a string (named = true).
struct ResourceId {
    bool named = false;
    std::uint16_t id = 0;
    std::u16string name;
    bool operator==(const ResourceId&) const = default;
};

struct Resource {
    ResourceId type;
    ResourceId name;
    ResourceId language;
    std::string data;
    std::uint32_t rva = 0;  // where the data lies in the image, as its data entry gives it
};

struct PeImage {
    std::uint16_t subsystem = 0;  // 2 GUI, 3 console
    std::uint64_t stack_reserve = 0;
    std::uint64_t stack_commit = 0;
    std::vector<Resource> resources;  // in directory order
};

// Reads a PE32+ executable's bytes.
PeImage read_pe(const std::string& bytes);

// The resources below a resource directory that is not (yet) in an executable: `section` is a
// resource section whose first byte lies at `section_rva` in the image. Checked as in read_pe():
// every directory, entry and data block must lie inside the section.
std::vector<Resource> read_resource_section(const std::string& section, std::uint32_t section_rva);

// The resources of a numeric type.
std::vector<const Resource*> resources_of_type(const PeImage& image, std::uint16_t type);

// One entry of an icon group (GRPICONDIRENTRY).
struct GroupIconEntry {
    std::uint8_t width, height, color_count, reserved;
    std::uint16_t planes, bit_count;
    std::uint32_t bytes_in_res;
    std::uint16_t id;
};
std::vector<GroupIconEntry> read_group_icon(const std::string& data);

// A VS_VERSION_INFO block: the fixed info's numbers and the strings of every string table.
struct VersionResource {
    std::uint32_t signature = 0;
    std::array<std::uint16_t, 4> file_version{};
    std::array<std::uint16_t, 4> product_version{};
    std::uint32_t file_os = 0;
    std::uint32_t file_type = 0;
    std::map<std::u16string, std::map<std::u16string, std::u16string>> tables;  // "040904B0" -> key -> value
    std::vector<std::uint32_t> translations;                                    // language | code page << 16
};
VersionResource read_version(const std::string& data);

}  // namespace pe_test
