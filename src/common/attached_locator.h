// The locator record: how a finished launcher finds its attached data. The launcher carries one
// record in its read-only data, all zeros but the magic; the packer finds it by the magic and fills
// it in when it places the attached data (and the record of additions right behind it) into the
// executable, as read-only data that the system maps with the image. The offset counts from the
// image's base as loaded, so relocation and address randomisation leave it valid.
#pragma once

#include <cstdint>

inline constexpr uint8_t LOCATOR_MAGIC[16] = {0x6F, 0x6E, 0x65, 0x66, 0x69, 0x6C, 0x65, 0x2D,
                                              0x6C, 0x6F, 0x63, 0xA7, 0x31, 0x5E, 0xC2, 0x09};

struct AttachedLocator {
    uint8_t magic[16];
    uint64_t attached_offset;  // from the image base: an RVA on Windows, a virtual address offset on Linux
    uint64_t attached_size;    // 0: nothing attached (a kit's launcher as built)
    uint64_t extras_size;      // the record of additions, right behind the attached data
};
static_assert(sizeof(AttachedLocator) == 40, "the packer writes the record field by field at these offsets");

inline constexpr uint32_t LOCATOR_OFFSET_FIELD = 16;
inline constexpr uint32_t LOCATOR_ATTACHED_SIZE_FIELD = 24;
inline constexpr uint32_t LOCATOR_EXTRAS_SIZE_FIELD = 32;
