#include "executable.h"

#include <fstream>
#include <sstream>

#include "errors.h"
#include "file_io.h"
#include "host.h"
#include "image_layout.h"
#include "resource_section.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

std::string read_kit_file(const fs::path& path, const fs::path& kit_dir) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw PackError("the launcher kit " + quote_path(kit_dir) + " has no readable " + quote_path(path.filename()) +
                        "; reinstall or rebuild the kit");
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) {
        throw PackError("cannot read " + quote_path(path));
    }
    return bytes.str();
}

ImageLayout layout_for(Target target, const std::string& launcher, const fs::path& source, const std::string& manifest,
                       const ExecutableOptions& options, std::uint64_t attached_size, const std::string& extras) {
    if (target == Target::Linux) {
        return elf_layout(launcher, path_to_utf8(source), attached_size, extras);
    }
    const auto resources = [&](std::uint32_t rva) {
        return resource_section(launcher_resources(manifest, options.extra), rva);
    };
    return pe_layout(launcher, path_to_utf8(source), attached_size, extras, resources, options.console);
}

void write_at(NativeFile fd, std::uint64_t offset, const void* data, std::size_t size, const fs::path& path) {
    seek_to(fd, offset, path);
    write_all(fd, data, size, path);
}

}  // namespace

std::uint64_t copy_file_to(const fs::path& path, const ByteSink& sink) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw PackError("cannot read " + quote_path(path));
    }
    std::vector<char> buffer(std::size_t{1} << 20);
    std::uint64_t total = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got != 0) {
            sink(buffer.data(), got);
            total += got;
        }
    }
    if (in.bad()) {
        throw PackError("cannot read " + quote_path(path));
    }
    return total;
}

fs::path kit_launcher(Target target, const fs::path& kit_dir) {
    return kit_dir / (target == Target::Windows ? "launcher.exe" : "launcher");
}

void write_executable(Target target, const fs::path& kit_dir, const fs::path& output, const ExecutableOptions& options,
                      const AttachedProducer& attached, bool digest_needed, const ExtrasProducer& extras) {
    const fs::path launcher_path = kit_launcher(target, kit_dir);
    const std::string launcher = read_kit_file(launcher_path, kit_dir);
    const std::string manifest =
        target == Target::Windows ? read_kit_file(kit_dir / "launcher.manifest", kit_dir) : std::string();
    // Where the attached data starts, and where a checksum goes, do not depend on the data: known
    // before it is written, and the kit's problems are reported before anything is compressed.
    const ImageLayout provisional = layout_for(target, launcher, launcher_path, manifest, options, 0, std::string());
    const std::uint64_t data_offset = provisional.prefix.size();

    PendingFile pending(output);
    std::optional<PeChecksum> checksum;
    std::optional<Sha256> digest;
    if (digest_needed) {
        digest.emplace();
    }
    if (provisional.checksum_offset) {
        checksum.emplace(*provisional.checksum_offset);
    }
    seek_to(pending.fd(), data_offset, output);
    std::uint64_t position = data_offset;
    const std::uint64_t attached_size = attached([&](const void* data, std::size_t size) {
        write_all(pending.fd(), data, size, output);
        if (checksum) {
            checksum->add(position, data, size);
        }
        if (digest) {
            digest->update(data, size);
        }
        position += size;
    });
    if (position != data_offset + attached_size) {
        throw PackError("the attached data written for " + quote_path(output) + " does not have its stated size");
    }
    std::optional<Sha256Digest> data_digest;
    if (digest) {
        data_digest = digest->finish();
    }
    const std::vector<unsigned char> record = extras(data_digest ? &*data_digest : nullptr);
    const ImageLayout layout = layout_for(target, launcher, launcher_path, manifest, options, attached_size,
                                          std::string(record.begin(), record.end()));
    if (layout.prefix.size() != data_offset) {
        throw PackError("the launcher's layout changed with the attached data's size");
    }
    write_all(pending.fd(), layout.suffix.data(), layout.suffix.size(), output);
    write_at(pending.fd(), 0, layout.prefix.data(), layout.prefix.size(), output);
    if (checksum) {
        checksum->add(0, layout.prefix.data(), layout.prefix.size());
        checksum->add(data_offset + attached_size, layout.suffix.data(), layout.suffix.size());
        const std::uint32_t value = checksum->finish(data_offset + attached_size + layout.suffix.size());
        const unsigned char field[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value >> 16),
                                        static_cast<unsigned char>(value >> 24)};
        write_at(pending.fd(), *layout.checksum_offset, field, sizeof field, output);
    }
    pending.commit(0777);
}

}  // namespace onefile::pack
