#include "attached/attached.h"

#include "platform/platform.h"

// In read-only data, with the magic the packer looks for.
extern "C" const AttachedLocator onefile_locator __attribute__((used)) = {
    {LOCATOR_MAGIC[0], LOCATOR_MAGIC[1], LOCATOR_MAGIC[2], LOCATOR_MAGIC[3], LOCATOR_MAGIC[4], LOCATOR_MAGIC[5],
     LOCATOR_MAGIC[6], LOCATOR_MAGIC[7], LOCATOR_MAGIC[8], LOCATOR_MAGIC[9], LOCATOR_MAGIC[10], LOCATOR_MAGIC[11],
     LOCATOR_MAGIC[12], LOCATOR_MAGIC[13], LOCATOR_MAGIC[14], LOCATOR_MAGIC[15]},
    0,
    0,
    0};

AttachedBytes attached_bytes() {
    // Read through a volatile view: the packer changes these bytes after the link, so the values
    // the compiler saw must never be folded into the code.
    const volatile AttachedLocator& locator = onefile_locator;
    AttachedBytes bytes;
    const uint64_t offset = locator.attached_offset;
    bytes.attached_size = locator.attached_size;
    bytes.extras_size = locator.extras_size;
    if (bytes.attached_size == 0) return AttachedBytes{};
    bytes.attached = platform_image_base() + offset;
    bytes.extras = bytes.attached + bytes.attached_size;
    return bytes;
}
