#include "resources.h"

#include <charconv>
#include <string_view>

#include "errors.h"
#include "unicode.h"

namespace onefile::pack {

namespace {

std::uint32_t le16(const std::string& bytes, std::size_t at) {
    return static_cast<unsigned char>(bytes[at]) | static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1]))
                                                       << 8;
}

std::uint32_t le32(const std::string& bytes, std::size_t at) { return le16(bytes, at) | le16(bytes, at + 2) << 16; }

}  // namespace

void put16(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

namespace {

void set16(std::string& out, std::size_t at, std::uint32_t value) {
    out[at] = static_cast<char>(value & 0xFF);
    out[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void pad4(std::string& out) {
    while (out.size() % 4 != 0) out.push_back('\0');
}

void put_utf16z(std::string& out, const std::u16string& text) {
    for (char16_t unit : text) put16(out, unit);
    put16(out, 0);
}

constexpr char PNG_SIGNATURE[] = "\x89PNG\r\n\x1a\n";
constexpr std::size_t ICO_HEADER = 6;
constexpr std::size_t ICO_ENTRY = 16;

}  // namespace

std::vector<IconImage> parse_ico(const std::string& bytes, const std::string& source) {
    auto refuse = [&](const std::string& why) -> PackError {
        return PackError("the icon " + quote_path(source) + " is not a usable .ico file: " + why);
    };
    if (bytes.size() < ICO_HEADER) {
        throw refuse("it is " + std::to_string(bytes.size()) + " bytes long, shorter than an icon header");
    }
    if (le16(bytes, 0) != 0 || le16(bytes, 2) != 1) {
        throw refuse(le16(bytes, 0) == 0 && le16(bytes, 2) == 2 ? "it is a cursor, not an icon"
                                                                : "its header does not start with 00 00 01 00");
    }
    const std::size_t count = le16(bytes, 4);
    if (count == 0) {
        throw refuse("it holds no image");
    }
    const std::size_t directory_end = ICO_HEADER + ICO_ENTRY * count;
    if (directory_end > bytes.size()) {
        throw refuse("its " + std::to_string(count) + " directory entries run past the end of the file");
    }
    std::vector<IconImage> images;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = ICO_HEADER + ICO_ENTRY * i;
        const std::string which = "image " + std::to_string(i + 1);
        const std::uint64_t size = le32(bytes, entry + 8);
        const std::uint64_t offset = le32(bytes, entry + 12);
        if (size == 0) {
            throw refuse(which + " is empty");
        }
        if (offset < directory_end) {
            throw refuse(which + " starts at byte " + std::to_string(offset) + ", inside the icon directory");
        }
        if (offset + size > bytes.size()) {
            throw refuse(which + " (" + std::to_string(size) + " bytes at byte " + std::to_string(offset) +
                         ") runs past the end of the file (" + std::to_string(bytes.size()) + " bytes)");
        }
        IconImage image;
        image.width = static_cast<std::uint8_t>(bytes[entry]);
        image.height = static_cast<std::uint8_t>(bytes[entry + 1]);
        image.color_count = static_cast<std::uint8_t>(bytes[entry + 2]);
        image.reserved = static_cast<std::uint8_t>(bytes[entry + 3]);
        image.planes = static_cast<std::uint16_t>(le16(bytes, entry + 4));
        image.bit_count = static_cast<std::uint16_t>(le16(bytes, entry + 6));
        image.bytes = bytes.substr(offset, size);
        const bool png = image.bytes.size() >= 8 && image.bytes.compare(0, 8, PNG_SIGNATURE, 8) == 0;
        // A bitmap image begins with its BITMAPINFOHEADER (40 bytes) or one of the later, longer forms.
        const std::uint32_t header = image.bytes.size() >= 4 ? le32(image.bytes, 0) : 0;
        const bool bitmap = (header == 40 || header == 108 || header == 124) && image.bytes.size() >= header;
        if (!png && !bitmap) {
            throw refuse(which + " is neither a PNG image nor a bitmap");
        }
        images.push_back(std::move(image));
    }
    return images;
}

std::optional<std::array<std::uint16_t, 4>> parse_version_number(const std::string& text) {
    std::array<std::uint16_t, 4> numbers{};
    std::size_t part = 0;
    std::size_t at = 0;
    for (;;) {
        if (part == numbers.size()) {
            return std::nullopt;
        }
        const std::size_t dot = text.find('.', at);
        const std::string_view digits =
            std::string_view(text).substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        unsigned value = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (value > 0xFFFF) {
            return std::nullopt;
        }
        numbers[part++] = static_cast<std::uint16_t>(value);
        if (dot == std::string::npos) {
            return numbers;
        }
        at = dot + 1;
    }
}

namespace {

// One node of the version block: wLength, wValueLength, wType, the key, its value and children,
// each piece starting on a 4-byte boundary. The length counts the padding behind the value too,
// which is how the resource compilers write it and what their readers insist on.
std::string version_node(const std::u16string& key, std::uint16_t type, const std::string& value,
                         std::uint16_t value_length, const std::vector<std::string>& children) {
    std::string node;
    put16(node, 0);
    put16(node, value_length);
    put16(node, type);
    put_utf16z(node, key);
    pad4(node);
    node += value;
    // Each child starts on a 4-byte boundary; a node's length ends at its own last byte, without
    // the padding behind it, as Windows' resource compiler writes it.
    for (const std::string& child : children) {
        pad4(node);
        node += child;
    }
    if (node.size() > 0xFFFF) {
        throw PackError("the version information is too long for a version resource");
    }
    set16(node, 0, static_cast<std::uint32_t>(node.size()));
    return node;
}

std::u16string utf16_of(const std::string& text, const std::string& what) {
    const std::optional<std::u16string> converted = utf8_to_utf16(text);
    if (!converted) {
        throw PackError("the " + what + " text '" + escape_for_display(text, true) + "' is not UTF-8");
    }
    return *converted;
}

std::string string_node(const std::u16string& key, const std::u16string& value) {
    std::string bytes;
    put_utf16z(bytes, value);
    // Counted in characters, the terminator included.
    return version_node(key, 1, bytes, static_cast<std::uint16_t>(value.size() + 1), {});
}

}  // namespace

std::string version_resource(const VersionInfo& info, const std::string& original_filename) {
    std::array<std::uint16_t, 4> numbers{};
    if (info.version) {
        const auto parsed = parse_version_number(*info.version);
        if (!parsed) {
            throw PackError("the version '" + *info.version + "' is not 1 to 4 dot-separated numbers from 0 to 65535");
        }
        numbers = *parsed;
    }
    const std::uint32_t most = static_cast<std::uint32_t>(numbers[0]) << 16 | numbers[1];
    const std::uint32_t least = static_cast<std::uint32_t>(numbers[2]) << 16 | numbers[3];
    std::string fixed;
    put32(fixed, 0xFEEF04BD);  // signature
    put32(fixed, 0x00010000);  // structure version 1.0
    put32(fixed, most);        // file version
    put32(fixed, least);
    put32(fixed, most);  // product version
    put32(fixed, least);
    put32(fixed, 0x3F);     // flags mask: every defined flag
    put32(fixed, 0);        // flags: none (no debug, prerelease, patched or private build)
    put32(fixed, 0x40004);  // VOS_NT_WINDOWS32
    put32(fixed, 1);        // VFT_APP
    put32(fixed, 0);        // subtype
    put32(fixed, 0);        // date
    put32(fixed, 0);

    // In alphabetical order, as the keys are usually listed.
    const std::optional<std::string> original(original_filename);
    const std::pair<const char16_t*, const std::optional<std::string>*> fields[] = {
        {u"CompanyName", &info.company},      {u"FileDescription", &info.description}, {u"FileVersion", &info.version},
        {u"LegalCopyright", &info.copyright}, {u"OriginalFilename", &original},        {u"ProductName", &info.product},
        {u"ProductVersion", &info.version},
    };
    std::vector<std::string> strings;
    for (const auto& [key, value] : fields) {
        if (*value) {
            strings.push_back(string_node(key, utf16_of(**value, utf16_to_utf8(key))));
        }
    }
    const std::string table = version_node(u"040904B0", 1, "", 0, strings);
    const std::string string_info = version_node(u"StringFileInfo", 1, "", 0, {table});
    std::string translation;
    put16(translation, 0x0409);  // U.S. English
    put16(translation, 1200);    // UTF-16
    const std::string var = version_node(u"Translation", 0, translation, 4, {});
    const std::string var_info = version_node(u"VarFileInfo", 1, "", 0, {var});
    return version_node(u"VS_VERSION_INFO", 0, fixed, static_cast<std::uint16_t>(fixed.size()),
                        {string_info, var_info});
}

std::string icon_group(const std::vector<IconImage>& icon) {
    std::string group;
    put16(group, 0);  // reserved
    put16(group, 1);  // icons
    put16(group, static_cast<std::uint32_t>(icon.size()));
    for (std::size_t i = 0; i < icon.size(); ++i) {
        const IconImage& image = icon[i];
        group.push_back(static_cast<char>(image.width));
        group.push_back(static_cast<char>(image.height));
        group.push_back(static_cast<char>(image.color_count));
        group.push_back(static_cast<char>(image.reserved));
        put16(group, image.planes);
        put16(group, image.bit_count);
        put32(group, static_cast<std::uint32_t>(image.bytes.size()));
        put16(group, static_cast<std::uint32_t>(i + 1));  // the RT_ICON holding the image
    }
    return group;
}

}  // namespace onefile::pack
