#include "app_tree.h"
#include "platform/device_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>

#include "errors.h"
#include "file_io.h"
#include "file_table.h"
#include "unicode.h"

namespace fs = std::filesystem;

namespace onefile::pack {

namespace {

std::vector<std::string> split_relative(std::string_view text) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == '/' || c == '\\') {
            parts.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    parts.push_back(std::move(current));
    return parts;
}

// Shows a name from the disk in a message even when it is not valid UTF-8 or holds control
// characters: such bytes become \xNN.
std::string printable(std::string_view name) { return escape_for_display(name, !utf8_to_utf16(name).has_value()); }

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// Why Windows cannot create a file or directory of this name, or "" when it can.
std::string windows_name_problem(std::string_view component) {
    for (char c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos) {
            return byte < 0x20 ? "contains a control character" : std::string("contains '") + c + "'";
        }
    }
    if (component.back() == '.' || component.back() == ' ') {
        return "ends in a dot or a space";
    }
    // Device names stay reserved whatever extension follows them: the launcher's own rule, which
    // refuses them when it unpacks.
    const std::wstring wide(component.begin(), component.end());
    return is_windows_device_name(wide.c_str(), wide.size()) ? "is a reserved device name" : "";
}

class TreeWalker {
public:
    TreeWalker(const fs::path& app_dir, Target target) : app_dir_(app_dir), target_(target) {}

    void walk_directory(int parent_fd, const std::string& entry_name, const std::vector<std::string>& components);

    std::vector<SourceFile> files;
    std::vector<std::string> directories;  // file table form, for the Windows case check

private:
    void check_component(const std::vector<std::string>& components);
    std::string display(const std::vector<std::string>& components) const;

    fs::path app_dir_;
    Target target_;
};

std::string TreeWalker::display(const std::vector<std::string>& components) const {
    fs::path path = app_dir_;
    for (const std::string& part : components) {
        path /= part;
    }
    return "'" + printable(path.string()) + "'";
}

void TreeWalker::check_component(const std::vector<std::string>& components) {
    const std::string& component = components.back();
    if (!utf8_to_utf16(component)) {
        throw PackError("the name of " + display(components) + " is not valid UTF-8");
    }
    // The launcher takes every backslash of a name for a directory separator.
    if (component.find('\\') != std::string::npos) {
        throw PackError("the name of " + display(components) + " contains a backslash");
    }
    if (target_ == Target::Windows) {
        if (const std::string problem = windows_name_problem(component); !problem.empty()) {
            throw PackError("the name of " + display(components) + " cannot be used on Windows: it " + problem);
        }
    }
}

void TreeWalker::walk_directory(int parent_fd, const std::string& entry_name,
                                const std::vector<std::string>& components) {
    // Below the application directory a link is refused before it gets here; O_NOFOLLOW closes the
    // gap in which one could replace a directory. The application directory itself may be a link.
    const int no_follow = components.empty() ? 0 : O_NOFOLLOW;
    UniqueFd dir_fd(::openat(parent_fd, entry_name.c_str(), O_RDONLY | O_DIRECTORY | no_follow | O_CLOEXEC));
    if (!dir_fd) {
        const int err = errno;
        throw PackError("cannot read directory " + display(components) + ": " + system_error_text(err));
    }
    DIR* dir = ::fdopendir(dir_fd.get());
    if (dir == nullptr) {
        const int err = errno;
        throw PackError("cannot read directory " + display(components) + ": " + system_error_text(err));
    }
    dir_fd.release();
    std::unique_ptr<DIR, int (*)(DIR*)> dir_owner(dir, ::closedir);

    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                const int err = errno;
                throw PackError("cannot read directory " + display(components) + ": " + system_error_text(err));
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    // A fixed visiting order keeps the first reported problem the same from run to run.
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::vector<std::string> child = components;
        child.push_back(name);
        check_component(child);

        struct stat info {};
        if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            throw PackError("cannot read " + display(child) + ": " + system_error_text(err));
        }
        std::string table_name;
        for (const std::string& part : child) {
            table_name += (table_name.empty() ? "" : "\\") + part;
        }
        if (S_ISLNK(info.st_mode)) {
            throw PackError(display(child) + " is a symbolic link; symbolic links are not supported yet");
        }
        if (S_ISDIR(info.st_mode)) {
            directories.push_back(table_name);
            walk_directory(::dirfd(dir), name, child);
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            throw PackError(display(child) + " is not a regular file or directory; only regular files can be packed");
        }
        // Find an unreadable file now rather than after compressing everything before it.
        UniqueFd probe(::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!probe) {
            const int err = errno;
            throw PackError("cannot read " + display(child) + ": " + system_error_text(err));
        }

        SourceFile file;
        file.name_utf16 = *utf8_to_utf16(table_name);
        if (file.name_utf16.size() > MAX_NAME_LENGTH) {
            throw PackError("the name of " + display(child) + " is " + std::to_string(file.name_utf16.size()) +
                            " UTF-16 code units long; the limit is 4095");
        }
        // The launcher refuses, for either target, a stored name that could leave its target
        // directory, and with it the whole executable: such a name must not get that far. Only the
        // drive form ("x:notes.txt") can come out of a directory walk, and only for Linux, where ':'
        // is an ordinary character; the rule is checked whole all the same.
        if (const std::string problem = name_containment_problem(file.name_utf16); !problem.empty()) {
            throw PackError("the name of " + display(child) + " cannot be packed: its stored name '" +
                            escape_for_display(table_name, false) + "' " + problem);
        }
        file.name = std::move(table_name);
        file.path = app_dir_;
        for (const std::string& part : child) {
            file.path /= part;
        }
        file.size = static_cast<std::uint64_t>(info.st_size);
        file.executable = (info.st_mode & S_IXUSR) != 0;
        // Links are refused above, so this is the file's own time, never one of a link.
        file.modified = modification_time(info);
        files.push_back(std::move(file));
    }
}

// Windows file names ignore case: two names that differ only in case would land on one file.
void check_case_collisions(const std::vector<SourceFile>& files, const std::vector<std::string>& directories) {
    std::map<std::string, std::string> seen;
    auto check = [&](const std::string& name) {
        const auto [it, inserted] = seen.emplace(ascii_lower(name), name);
        if (!inserted) {
            throw PackError("'" + it->second + "' and '" + name +
                            "' differ only in case, which Windows file names do not distinguish");
        }
    };
    for (const std::string& dir : directories) {
        check(dir);
    }
    for (const SourceFile& file : files) {
        check(file.name);
    }
}

}  // namespace

FileTime modification_time(const struct stat& info) {
    return FileTime{static_cast<std::int64_t>(info.st_mtim.tv_sec), static_cast<std::uint32_t>(info.st_mtim.tv_nsec)};
}

std::string normalize_main_binary(std::string_view main_binary_rel) {
    return normalize_relative_name(main_binary_rel, "the main binary");
}

std::string normalize_relative_name(std::string_view relative, const std::string& what) {
    const std::string shown = "'" + printable(relative) + "'";
    if (relative.empty()) {
        throw PackError(what + "'s name is empty");
    }
    if (relative.front() == '/' || relative.front() == '\\') {
        throw PackError(what + " " + shown + " must be given relative to the application directory");
    }
    if (relative.size() >= 2 && relative[1] == ':' &&
        ((relative[0] >= 'A' && relative[0] <= 'Z') || (relative[0] >= 'a' && relative[0] <= 'z'))) {
        throw PackError(what + " " + shown + " names a drive; give it relative to the application directory");
    }
    std::string result;
    for (const std::string& part : split_relative(relative)) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            throw PackError(what + " " + shown + " must not contain '..'");
        }
        result += (result.empty() ? "" : "\\") + part;
    }
    if (result.empty()) {
        throw PackError(what + " " + shown + " does not name a file");
    }
    return result;
}

std::vector<SourceFile> collect_app_files(const fs::path& app_dir, std::string_view main_binary_rel, Target target) {
    const std::string main_name = normalize_main_binary(main_binary_rel);

    struct stat info {};
    if (::stat(app_dir.c_str(), &info) != 0) {
        throw_system_error("open the application directory", app_dir, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        throw PackError("the application directory " + quote_path(app_dir) + " is not a directory");
    }

    fs::path main_path = app_dir;
    for (const std::string& part : split_relative(main_name)) {
        main_path /= part;
    }
    if (::lstat(main_path.c_str(), &info) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            throw PackError("the main binary " + quote_path(main_path) + " does not exist");
        }
        throw_system_error("read the main binary", main_path, err);
    }
    if (S_ISLNK(info.st_mode)) {
        throw PackError("the main binary " + quote_path(main_path) +
                        " is a symbolic link; symbolic links are not supported yet");
    }
    if (!S_ISREG(info.st_mode)) {
        throw PackError("the main binary " + quote_path(main_path) + " is not a regular file");
    }

    TreeWalker walker(app_dir, target);
    walker.walk_directory(AT_FDCWD, app_dir.string(), {});
    std::vector<SourceFile> files = std::move(walker.files);

    if (target == Target::Windows) {
        check_case_collisions(files, walker.directories);
    }

    const auto main_it =
        std::find_if(files.begin(), files.end(), [&](const SourceFile& file) { return file.name == main_name; });
    if (main_it == files.end()) {
        throw PackError("the main binary " + quote_path(main_path) + " was not found while walking " +
                        quote_path(app_dir));
    }
    std::iter_swap(files.begin(), main_it);
    std::sort(files.begin() + 1, files.end(), [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });

    std::uint64_t table_size = 0;
    for (const SourceFile& file : files) {
        table_size += encoded_entry_size(file.name_utf16.size());
    }
    if (table_size > MAX_FILE_TABLE_SIZE) {
        throw PackError("the file table would take " + std::to_string(table_size) +
                        " bytes; the limit is 268435456 (too many files or too long names)");
    }
    return files;
}

}  // namespace onefile::pack
