// Writing the application's executable: the kit's finished launcher with the attached data and the
// record of additions placed into its image (see image_layout.h). Packing runs no other program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "attached_writer.h"
#include "resources.h"
#include "sha256.h"
#include "target.h"

namespace onefile::pack {

// How a Windows executable differs from the kit's launcher besides its data.
struct ExecutableOptions {
    bool console = false;  // the console subsystem instead of the GUI one
    ExtraResources extra;  // icon and version information beside the manifest
};

// Writes the attached data to the sink and returns how many bytes that was.
using AttachedProducer = std::function<std::uint64_t(const ByteSink& sink)>;
// The record of additions, made once the attached data is written; gets the data's SHA-256 when
// write_executable() was asked to compute it, else nullptr.
using ExtrasProducer = std::function<std::vector<unsigned char>(const Sha256Digest* digest)>;

// Writes the executable for `target` at `output` from the launcher in `kit_dir`: the attached data
// goes straight into the file, so it is never held in memory, and the file appears only when all
// of it is written. Throws PackError when the kit's launcher is missing or unusable, or on a write
// error; nothing is left behind then.
void write_executable(Target target, const std::filesystem::path& kit_dir, const std::filesystem::path& output,
                      const ExecutableOptions& options, const AttachedProducer& attached, bool digest_needed,
                      const ExtrasProducer& extras);

// Gives the sink a whole file's bytes, a piece at a time, and returns their count. Throws
// PackError when the file cannot be read.
std::uint64_t copy_file_to(const std::filesystem::path& path, const ByteSink& sink);

// The kit's launcher for `target` (the Windows one also needs the manifest beside it).
std::filesystem::path kit_launcher(Target target, const std::filesystem::path& kit_dir);

}  // namespace onefile::pack
