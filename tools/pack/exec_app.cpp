#include "exec_app.h"

#include <algorithm>

#include "file_io.h"
#include "host.h"
#include "unicode.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

bool names_a_drive(std::string_view name) {
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

bool climbs_out(std::string_view name) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/' || name[i] == '\\') {
            if (name.substr(start, i - start) == "..") {
                return true;
            }
            start = i + 1;
        }
    }
    return false;
}

// The reserved names must be free at the top of the application: the unpacked files would land on
// one another. Windows takes names that differ only in case for one.
void check_reserved_names(const fs::path& app_dir, Target target) {
    const std::string reserved[] = {exec_main_name(target), EXEC_PROGRAM_FILE};
    std::error_code error;
    for (fs::directory_iterator it(app_dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = path_to_utf8(it->path().filename());
        for (const std::string& ours : reserved) {
            const bool same = target == Target::Windows ? ascii_lower(name) == ascii_lower(ours) : name == ours;
            if (same) {
                throw PackError("the application directory already holds " + quote_path(it->path()) + ", but --exec " +
                                "puts its own " + ours + " there; rename or remove it");
            }
        }
    }
    if (error) {
        throw_system_error("read the application directory", app_dir, error.value());
    }
}

}  // namespace

std::string exec_main_name(Target target) {
    return target == Target::Windows ? "onefile_exec_main.dll" : "onefile_exec_main.so";
}

std::string check_exec_program(const fs::path& app_dir, std::string_view program_rel, Target target) {
    FileStatus info;
    if (!host_status(app_dir, true, info)) {
        throw_system_error("open the application directory", app_dir, host_last_error());
    }
    if (info.kind != FileKind::Directory) {
        throw PackError("the application directory " + quote_path(app_dir) + " is not a directory");
    }
    if (!program_rel.empty() && (program_rel.front() == '/' || program_rel.front() == '\\' ||
                                 names_a_drive(program_rel) || climbs_out(program_rel))) {
        throw PackError("the program '" + escape_for_display(program_rel, false) +
                        "' is not inside the application directory " + quote_path(app_dir) +
                        ": give its path relative to that directory, without '..'");
    }
    const std::string name = normalize_relative_name(program_rel, "the program");

    fs::path path = app_dir;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '\\') {
            path /= path_from_utf8(name.substr(start, i - start));
            start = i + 1;
        }
    }
    if (!host_status(path, false, info)) {
        const int err = host_last_error();
        if (host_error_is_not_found(err)) {
            throw PackError("the program " + quote_path(path) + " does not exist");
        }
        throw_system_error("read the program", path, err);
    }
    if (info.kind == FileKind::Link) {
        throw PackError("the program " + quote_path(path) +
                        " is a symbolic link; symbolic links are not supported yet");
    }
    if (info.kind == FileKind::Directory) {
        throw PackError("the program " + quote_path(path) + " is a directory; name the program file inside it");
    }
    if (info.kind != FileKind::Regular) {
        throw PackError("the program " + quote_path(path) + " is not a regular file");
    }
    // The launcher unpacks a file as executable only when its owner could execute it here (on a
    // Windows host: when it begins as a program does).
    if (target == Target::Linux && !info.executable) {
        throw PackError("the program " + quote_path(path) + " is not executable (chmod u+x it)");
    }
    check_reserved_names(app_dir, target);
    return name;
}

std::vector<SourceFile> collect_exec_files(const fs::path& app_dir, std::string_view program_rel, Target target,
                                           const fs::path& kit_dir, const fs::path& work_dir, const LinkPolicy& links) {
    const std::string program = check_exec_program(app_dir, program_rel, target);
    std::vector<SourceFile> app = collect_app_files(app_dir, program_rel, target, links);

    SourceFile exec_main;
    exec_main.name = exec_main_name(target);
    exec_main.name_utf16 = *utf8_to_utf16(exec_main.name);
    exec_main.path = kit_dir / path_from_utf8(exec_main.name);
    FileStatus info;
    if (!host_status(exec_main.path, true, info) || info.kind != FileKind::Regular) {
        throw PackError("the launcher kit " + quote_path(kit_dir) + " has no " + exec_main.name +
                        ", which --exec packs in front of the program; rebuild or reinstall the kit");
    }
    exec_main.size = info.size;
    exec_main.executable = info.executable;
    exec_main.modified = info.modified;

    // The program file carries the program's time: the same inputs give the same executable.
    SourceFile names;
    names.name = EXEC_PROGRAM_FILE;
    names.name_utf16 = *utf8_to_utf16(names.name);
    names.path = work_dir / path_from_utf8(EXEC_PROGRAM_FILE);
    const std::string text = program + "\n";
    {
        UniqueFd fd(host_create_new(names.path, false));
        if (!fd) {
            throw_system_error("create", names.path, host_last_error());
        }
        write_all(fd.get(), text.data(), text.size(), names.path);
        if (!host_set_modified(fd.get(), app.front().modified) || !host_file_status(fd.get(), info)) {
            throw_system_error("write", names.path, host_last_error());
        }
        fd.close_checked(names.path);
    }
    names.size = text.size();
    names.modified = info.modified;

    std::vector<SourceFile> files;
    files.reserve(app.size() + 2);
    files.push_back(std::move(exec_main));
    for (SourceFile& file : app) {
        files.push_back(std::move(file));
    }
    files.push_back(std::move(names));
    std::sort(files.begin() + 1, files.end(), [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    return files;
}

}  // namespace onefile::pack
