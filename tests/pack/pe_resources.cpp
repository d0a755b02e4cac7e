#include "pe_resources.h"

#include <optional>

namespace pe_test {

namespace {

// Bounds-checked little-endian reads of a byte string.
class Bytes {
public:
    explicit Bytes(const std::string& bytes) : bytes_(bytes) {}

    void need(std::uint64_t at, std::uint64_t size, const char* what) const {
        if (at > bytes_.size() || size > bytes_.size() - at) {
            throw PeError(std::string(what) + " runs past the end (" + std::to_string(at) + " + " +
                          std::to_string(size) + " > " + std::to_string(bytes_.size()) + ")");
        }
    }
    std::uint8_t u8(std::uint64_t at, const char* what) const {
        need(at, 1, what);
        return static_cast<std::uint8_t>(bytes_[at]);
    }
    std::uint16_t u16(std::uint64_t at, const char* what) const {
        need(at, 2, what);
        return static_cast<std::uint16_t>(u8(at, what) | u8(at + 1, what) << 8);
    }
    std::uint32_t u32(std::uint64_t at, const char* what) const {
        return u16(at, what) | static_cast<std::uint32_t>(u16(at + 2, what)) << 16;
    }
    std::uint64_t u64(std::uint64_t at, const char* what) const {
        return u32(at, what) | static_cast<std::uint64_t>(u32(at + 4, what)) << 32;
    }
    std::string slice(std::uint64_t at, std::uint64_t size, const char* what) const {
        need(at, size, what);
        return bytes_.substr(at, size);
    }
    std::size_t size() const { return bytes_.size(); }

private:
    const std::string& bytes_;
};

struct Section {
    std::uint32_t virtual_address, virtual_size, raw_size, raw_offset;
};

std::uint64_t rva_to_offset(const std::vector<Section>& sections, std::uint64_t rva, std::uint64_t size) {
    for (const Section& section : sections) {
        if (rva >= section.virtual_address && rva - section.virtual_address < section.raw_size) {
            const std::uint64_t inside = rva - section.virtual_address;
            if (size > section.raw_size - inside) throw PeError("data at an RVA runs past its section");
            return section.raw_offset + inside;
        }
    }
    throw PeError("RVA " + std::to_string(rva) + " is in no section's file data");
}

class ResourceWalker {
public:
    ResourceWalker(const Bytes& file, const std::vector<Section>& sections, std::uint64_t root_offset,
                   std::uint64_t root_size)
        : file_(file), sections_(sections), root_(root_offset), size_(root_size) {}

    void walk(std::vector<Resource>& out) { directory(0, 0, {}, out); }

private:
    // An offset inside the resource directory, checked against its size.
    std::uint64_t inside(std::uint64_t offset, std::uint64_t size, const char* what) const {
        if (offset > size_ || size > size_ - offset)
            throw PeError(std::string(what) + " lies outside the resource directory");
        return root_ + offset;
    }

    ResourceId entry_id(std::uint32_t field) const {
        ResourceId id;
        if ((field & 0x80000000u) == 0) {
            if (field > 0xFFFF) throw PeError("a numeric resource id above 65535");
            id.id = static_cast<std::uint16_t>(field);
            return id;
        }
        id.named = true;
        const std::uint64_t at = inside(field & 0x7FFFFFFFu, 2, "a resource name");
        const std::uint16_t length = file_.u16(at, "a resource name");
        inside((field & 0x7FFFFFFFu) + 2, 2ull * length, "a resource name");
        for (std::uint16_t i = 0; i < length; ++i)
            id.name.push_back(static_cast<char16_t>(file_.u16(at + 2 + 2ull * i, "a resource name")));
        return id;
    }

    // Three levels, type, name and language, with the data entries below the last.
    void directory(std::uint64_t offset, int level, std::vector<ResourceId> path, std::vector<Resource>& out) {
        const std::uint64_t at = inside(offset, 16, "a resource directory");
        const std::uint32_t named = file_.u16(at + 12, "a resource directory");
        const std::uint32_t count = named + file_.u16(at + 14, "a resource directory");
        inside(offset + 16, 8ull * count, "a resource directory's entries");
        std::optional<std::uint16_t> previous_id;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t entry = at + 16 + 8ull * i;
            const std::uint32_t name = file_.u32(entry, "a resource entry");
            const std::uint32_t target = file_.u32(entry + 4, "a resource entry");
            std::vector<ResourceId> below = path;
            below.push_back(entry_id(name));
            // The loader searches the named entries and the ID entries apart, each by bisection.
            // (The order among names, which it compares without regard to case, is not checked.)
            if (below.back().named != (i < named)) {
                throw PeError("a resource directory's named entries are not the first " + std::to_string(named));
            }
            if (!below.back().named) {
                if (previous_id && *previous_id >= below.back().id) {
                    throw PeError("a resource directory's IDs are not in ascending order (" +
                                  std::to_string(*previous_id) + " before " + std::to_string(below.back().id) + ")");
                }
                previous_id = below.back().id;
            }
            const bool subdirectory = (target & 0x80000000u) != 0;
            if (level < 2) {
                if (!subdirectory) throw PeError("a resource entry above the language level points to data");
                directory(target & 0x7FFFFFFFu, level + 1, below, out);
                continue;
            }
            if (subdirectory) throw PeError("a language entry points to another directory");
            const std::uint64_t data_entry = inside(target, 16, "a resource data entry");
            const std::uint32_t rva = file_.u32(data_entry, "a resource data entry");
            const std::uint32_t size = file_.u32(data_entry + 4, "a resource data entry");
            const std::uint64_t data_offset = rva_to_offset(sections_, rva, size);
            out.push_back({below[0], below[1], below[2], file_.slice(data_offset, size, "resource data"), rva});
        }
    }

    const Bytes& file_;
    const std::vector<Section>& sections_;
    std::uint64_t root_;
    std::uint64_t size_;
};

}  // namespace

PeImage read_pe(const std::string& bytes) {
    const Bytes file(bytes);
    if (file.u16(0, "the DOS header") != 0x5A4D) throw PeError("no MZ signature");
    const std::uint32_t pe = file.u32(0x3C, "the DOS header");
    if (file.u32(pe, "the PE signature") != 0x00004550) throw PeError("no PE signature");
    const std::uint64_t coff = pe + 4;
    const std::uint16_t section_count = file.u16(coff + 2, "the COFF header");
    const std::uint16_t optional_size = file.u16(coff + 16, "the COFF header");
    const std::uint64_t optional = coff + 20;
    file.need(optional, optional_size, "the optional header");
    if (file.u16(optional, "the optional header") != 0x20B) throw PeError("not a PE32+ executable");
    if (optional_size < 112 + 8 * 3) throw PeError("the optional header is too short for a resource directory");

    PeImage image;
    image.subsystem = file.u16(optional + 68, "the optional header");
    image.stack_reserve = file.u64(optional + 72, "the optional header");
    image.stack_commit = file.u64(optional + 80, "the optional header");
    const std::uint32_t directories = file.u32(optional + 108, "the optional header");

    std::vector<Section> sections;
    const std::uint64_t table = optional + optional_size;
    file.need(table, 40ull * section_count, "the section table");
    for (std::uint16_t i = 0; i < section_count; ++i) {
        const std::uint64_t at = table + 40ull * i;
        const Section section{file.u32(at + 12, "a section header"), file.u32(at + 8, "a section header"),
                              file.u32(at + 16, "a section header"), file.u32(at + 20, "a section header")};
        file.need(section.raw_offset, section.raw_size, "a section's data");
        sections.push_back(section);
    }

    if (directories <= 2) return image;
    const std::uint32_t resource_rva = file.u32(optional + 112 + 16, "the resource directory entry");
    const std::uint32_t resource_size = file.u32(optional + 112 + 20, "the resource directory entry");
    if (resource_rva == 0 || resource_size == 0) return image;
    const std::uint64_t root = rva_to_offset(sections, resource_rva, resource_size);
    ResourceWalker(file, sections, root, resource_size).walk(image.resources);
    return image;
}

std::vector<Resource> read_resource_section(const std::string& section, std::uint32_t section_rva) {
    if (section.size() > 0xFFFFFFFFu - section_rva) throw PeError("the resource section reaches past 4 GiB");
    const Bytes bytes(section);
    // The section alone, as an image holding nothing else would map it.
    const std::vector<Section> sections = {
        {section_rva, static_cast<std::uint32_t>(section.size()), static_cast<std::uint32_t>(section.size()), 0}};
    std::vector<Resource> resources;
    ResourceWalker(bytes, sections, 0, section.size()).walk(resources);
    return resources;
}

std::vector<const Resource*> resources_of_type(const PeImage& image, std::uint16_t type) {
    std::vector<const Resource*> found;
    for (const Resource& resource : image.resources) {
        if (!resource.type.named && resource.type.id == type) found.push_back(&resource);
    }
    return found;
}

std::vector<GroupIconEntry> read_group_icon(const std::string& data) {
    const Bytes bytes(data);
    if (bytes.u16(0, "the icon group") != 0 || bytes.u16(2, "the icon group") != 1) throw PeError("not an icon group");
    const std::uint16_t count = bytes.u16(4, "the icon group");
    bytes.need(6, 14ull * count, "the icon group's entries");
    if (6 + 14ull * count != data.size()) throw PeError("the icon group has bytes beyond its entries");
    std::vector<GroupIconEntry> entries;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint64_t at = 6 + 14ull * i;
        entries.push_back({bytes.u8(at, "x"), bytes.u8(at + 1, "x"), bytes.u8(at + 2, "x"), bytes.u8(at + 3, "x"),
                           bytes.u16(at + 4, "x"), bytes.u16(at + 6, "x"), bytes.u32(at + 8, "x"),
                           bytes.u16(at + 12, "x")});
    }
    return entries;
}

namespace {

struct VersionNode {
    std::u16string key;
    std::uint16_t type = 0;
    std::uint16_t value_length = 0;
    std::uint64_t value_at = 0;
    std::uint64_t end = 0;
    std::vector<std::uint64_t> children;
};

std::uint64_t align4(std::uint64_t at) { return (at + 3) & ~std::uint64_t{3}; }

// The UTF-16 text at `at`, up to its terminator, which must come before `end`.
std::u16string text_at(const Bytes& bytes, std::uint64_t at, std::uint64_t end, std::uint64_t* after) {
    std::u16string text;
    for (;; at += 2) {
        if (at + 2 > end) throw PeError("a version text has no terminator inside its block");
        const std::uint16_t unit = bytes.u16(at, "a version text");
        if (unit == 0) break;
        text.push_back(static_cast<char16_t>(unit));
    }
    if (after != nullptr) *after = at + 2;
    return text;
}

VersionNode version_node(const Bytes& bytes, std::uint64_t at, std::uint64_t limit) {
    VersionNode node;
    const std::uint16_t length = bytes.u16(at, "a version block");
    if (length < 6 || at + length > limit) throw PeError("a version block's length leaves its parent");
    node.end = at + length;
    node.value_length = bytes.u16(at + 2, "a version block");
    node.type = bytes.u16(at + 4, "a version block");
    std::uint64_t after = 0;
    node.key = text_at(bytes, at + 6, node.end, &after);
    node.value_at = align4(after);
    const std::uint64_t value_bytes = node.type == 1 ? 2ull * node.value_length : node.value_length;
    if (node.value_at + value_bytes > node.end) throw PeError("a version value leaves its block");
    for (std::uint64_t child = align4(node.value_at + value_bytes); child < node.end;) {
        node.children.push_back(child);
        child = align4(version_node(bytes, child, node.end).end);
    }
    return node;
}

}  // namespace

VersionResource read_version(const std::string& data) {
    const Bytes bytes(data);
    const VersionNode root = version_node(bytes, 0, data.size());
    if (root.key != u"VS_VERSION_INFO") throw PeError("the version block is not VS_VERSION_INFO");
    if (root.value_length != 52) throw PeError("the fixed file info is not 52 bytes");
    VersionResource version;
    const std::uint64_t fixed = root.value_at;
    version.signature = bytes.u32(fixed, "the fixed file info");
    auto numbers = [&](std::uint64_t at) {
        const std::uint32_t most = bytes.u32(at, "the fixed file info");
        const std::uint32_t least = bytes.u32(at + 4, "the fixed file info");
        return std::array<std::uint16_t, 4>{static_cast<std::uint16_t>(most >> 16), static_cast<std::uint16_t>(most),
                                            static_cast<std::uint16_t>(least >> 16), static_cast<std::uint16_t>(least)};
    };
    version.file_version = numbers(fixed + 8);
    version.product_version = numbers(fixed + 16);
    version.file_os = bytes.u32(fixed + 32, "the fixed file info");
    version.file_type = bytes.u32(fixed + 36, "the fixed file info");
    for (std::uint64_t child_at : root.children) {
        const VersionNode child = version_node(bytes, child_at, root.end);
        if (child.key == u"StringFileInfo") {
            for (std::uint64_t table_at : child.children) {
                const VersionNode table = version_node(bytes, table_at, child.end);
                auto& strings = version.tables[table.key];
                for (std::uint64_t string_at : table.children) {
                    const VersionNode entry = version_node(bytes, string_at, table.end);
                    if (!strings.emplace(entry.key, text_at(bytes, entry.value_at, entry.end, nullptr)).second) {
                        throw PeError("a version string is there twice");
                    }
                }
            }
        } else if (child.key == u"VarFileInfo") {
            for (std::uint64_t var_at : child.children) {
                const VersionNode var = version_node(bytes, var_at, child.end);
                for (std::uint64_t at = var.value_at; at + 4 <= var.value_at + var.value_length; at += 4) {
                    version.translations.push_back(bytes.u32(at, "a translation"));
                }
            }
        } else {
            throw PeError("an unknown block in the version resource");
        }
    }
    return version;
}

}  // namespace pe_test
