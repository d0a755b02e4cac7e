// How the packer turns a kit's finished launcher into the application's executable without any
// toolchain: it keeps the launcher's bytes, adds the attached data (and the record of additions
// right behind it) as read-only data that the system maps with the image, and fills in the
// launcher's locator record so the launcher finds that data in memory. Windows executables also
// get their resources and subsystem here.
//
// The layout functions only compute bytes: what goes in front of the attached data (the launcher,
// changed, plus any new section contents) and what goes behind it. The attached data itself is
// streamed from its file by write_executable(), so it is never held in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace onefile::pack {

struct ImageLayout {
    std::string prefix;                            // the file's bytes up to the attached data
    std::string suffix;                            // the record of additions and padding, after the attached data
    std::optional<std::uint64_t> checksum_offset;  // where a PE checksum of the whole file goes
};

// The Windows executable: `launcher` (a PE32+ x86-64 image with nothing behind its last section
// and no resources), with a new resource section from `resources(rva)` (the section's bytes when
// placed at that RVA), then a new read-only section holding the attached data and `extras`; the
// subsystem is the console one when `console`. `source` names the launcher in messages. Throws
// PackError when the launcher is not such an image, has no room for two more section headers or
// no locator record, or when the data makes the image too large.
ImageLayout pe_layout(const std::string& launcher, const std::string& source, std::uint64_t attached_size,
                      const std::string& extras, const std::function<std::string(std::uint32_t)>& resources,
                      bool console);

// The Linux executable: `launcher` (an ELF64 x86-64 executable whose one-entry note section
// ".note.onefile" has a program header of its own, which the launcher keeps free for this), with
// the attached data and `extras` behind it in a new read-only loaded segment, described by that
// program header and that section header. Throws PackError as pe_layout() does.
ImageLayout elf_layout(const std::string& launcher, const std::string& source, std::uint64_t attached_size,
                       const std::string& extras);

// The PE checksum: the one's-complement sum of the file's 16-bit words, with the checksum field
// counted as 0, plus the file length. The sum does not depend on the order of its terms, so the
// file's pieces may be added in any order and cut anywhere, each at its offset.
class PeChecksum {
public:
    explicit PeChecksum(std::uint64_t field_offset) : field_offset_(field_offset) {}
    void add(std::uint64_t offset, const void* data, std::size_t size);
    std::uint32_t finish(std::uint64_t file_size) const;

private:
    std::uint64_t field_offset_;
    std::uint64_t sum_ = 0;
};

}  // namespace onefile::pack
