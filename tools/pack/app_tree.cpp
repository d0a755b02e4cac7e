#include "app_tree.h"
#include "platform/device_names.h"

#include <algorithm>
#include <map>

#include "errors.h"
#include "file_io.h"
#include "file_table.h"
#include "host.h"
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

// Where a symbolic link leads, for the walk to copy it.
struct LinkTarget {
    std::string text;   // the link's own contents, for messages
    fs::path resolved;  // the target with every link on the way resolved
    FileStatus info;    // the target's
};

class TreeWalker {
public:
    TreeWalker(const fs::path& app_dir, const fs::path& app_real, Target target, bool follow_links)
        : app_dir_(app_dir), app_real_(app_real), target_(target), follow_links_(follow_links) {}

    // Walks the directory `entry_name` below `parent` (null for a path of its own), found on the
    // host at `host_path`, whose entries are stored below `components`.
    void walk_directory(const HostDirectory* parent, const fs::path& entry_name, const fs::path& host_path,
                        const std::vector<std::string>& components);

    std::vector<SourceFile> files;
    std::vector<std::string> directories;  // file table form, for the Windows case check

private:
    void check_component(const std::vector<std::string>& components);
    std::string display(const std::vector<std::string>& components) const;
    LinkTarget resolve_link(const fs::path& link, const std::vector<std::string>& components) const;
    void add_file(const std::vector<std::string>& components, const fs::path& host_path, const FileStatus& info);

    fs::path app_dir_;
    fs::path app_real_;  // the application directory with its links resolved: what "inside" means
    Target target_;
    bool follow_links_;
    // The directories from the application directory down to the one being walked, as (device,
    // index): a link to one of them would copy it into itself without end.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> open_directories_;
};

std::string TreeWalker::display(const std::vector<std::string>& components) const {
    fs::path path = app_dir_;
    for (const std::string& part : components) {
        path /= path_from_utf8(part);
    }
    return "'" + printable(path_to_utf8(path)) + "'";
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

// Whether `path` lies strictly below `dir`, both resolved: whole components compared.
bool is_inside(const fs::path& path, const fs::path& dir) {
    auto dir_end = dir.end();
    // A directory written with a trailing separator ends in an empty element.
    if (dir_end != dir.begin() && std::prev(dir_end)->empty()) {
        --dir_end;
    }
    auto p = path.begin();
    for (auto d = dir.begin(); d != dir_end; ++d, ++p) {
        if (p == path.end() || *p != *d) {
            return false;
        }
    }
    return p != path.end() && !p->empty();
}

LinkTarget TreeWalker::resolve_link(const fs::path& link, const std::vector<std::string>& components) const {
    LinkTarget target;
    if (!host_link_text(link, target.text)) {
        const int err = host_last_error();
        // Windows tells where a link leads only by following it: a dangling one shows here.
        if (!host_error_is_not_found(err) && !host_error_is_link_loop(err)) {
            throw PackError("cannot read the symbolic link " + display(components) + ": " + system_error_text(err));
        }
        target.text = "?";
    }
    const std::string shown = display(components) + " (a symbolic link to '" + printable(target.text) + "')";
    if (!host_real_path(link, target.resolved)) {
        const int err = host_last_error();
        if (host_error_is_not_found(err)) {
            throw PackError(shown + " is dangling: what it points to does not exist");
        }
        if (host_error_is_link_loop(err)) {
            throw PackError(shown + " never reaches a file: its chain of links runs in a loop");
        }
        throw PackError("cannot follow " + shown + ": " + system_error_text(err));
    }
    // Inside or not is decided on where the link leads in the end, through every link on the way.
    if (!follow_links_ && target.resolved != app_real_ && !is_inside(target.resolved, app_real_)) {
        throw PackError(shown + " leads to '" + printable(path_to_utf8(target.resolved)) +
                        "', outside the application directory; --follow-links copies it all the same");
    }
    if (!host_status(target.resolved, true, target.info)) {
        const int err = host_last_error();
        throw PackError("cannot follow " + shown + ": " + system_error_text(err));
    }
    if (target.info.kind != FileKind::Regular && target.info.kind != FileKind::Directory) {
        throw PackError(shown + " leads to '" + printable(path_to_utf8(target.resolved)) +
                        "', which is not a regular file or directory; only regular files can be packed");
    }
    return target;
}

void TreeWalker::add_file(const std::vector<std::string>& components, const fs::path& host_path,
                          const FileStatus& info) {
    std::string table_name;
    for (const std::string& part : components) {
        table_name += (table_name.empty() ? "" : "\\") + part;
    }
    SourceFile file;
    file.name_utf16 = *utf8_to_utf16(table_name);
    if (file.name_utf16.size() > MAX_NAME_LENGTH) {
        throw PackError("the name of " + display(components) + " is " + std::to_string(file.name_utf16.size()) +
                        " UTF-16 code units long; the limit is 4095");
    }
    // The launcher refuses, for either target, a stored name that could leave its target
    // directory, and with it the whole executable: such a name must not get that far. Only the
    // drive form ("x:notes.txt") can come out of a directory walk, and only for Linux, where ':'
    // is an ordinary character; the rule is checked whole all the same.
    if (const std::string problem = name_containment_problem(file.name_utf16); !problem.empty()) {
        throw PackError("the name of " + display(components) + " cannot be packed: its stored name '" +
                        escape_for_display(table_name, false) + "' " + problem);
    }
    file.name = std::move(table_name);
    file.path = host_path;
    file.size = info.size;
    file.executable = info.executable;
    // The file's own time; for a link, its target's, which is where the contents come from.
    file.modified = info.modified;
    files.push_back(std::move(file));
}

void TreeWalker::walk_directory(const HostDirectory* parent, const fs::path& entry_name, const fs::path& host_path,
                                const std::vector<std::string>& components) {
    // Below the application directory a link is resolved before it gets here; refusing links here
    // closes the gap in which one could replace a directory. The application directory itself may
    // be a link.
    HostDirectory dir;
    FileStatus dir_info;
    std::vector<std::string> names;
    if (!host_open_directory(parent, entry_name, !components.empty(), dir, dir_info) ||
        !host_list_directory(dir, names)) {
        const int err = host_last_error();
        throw PackError("cannot read directory " + display(components) + ": " + system_error_text(err));
    }
    open_directories_.emplace_back(dir_info.device, dir_info.index);
    // A fixed visiting order keeps the first reported problem the same from run to run.
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        std::vector<std::string> child = components;
        child.push_back(name);
        check_component(child);
        const fs::path child_host = host_path / path_from_utf8(name);

        FileStatus info;
        if (!host_status_at(dir, name, info)) {
            const int err = host_last_error();
            throw PackError("cannot read " + display(child) + ": " + system_error_text(err));
        }
        std::string table_name;
        for (const std::string& part : child) {
            table_name += (table_name.empty() ? "" : "\\") + part;
        }
        if (info.kind == FileKind::Link) {
            // A link is packed as a copy of what it leads to, under the link's own name: the
            // attached data has no links, and the launcher unpacks regular files only.
            const LinkTarget target = resolve_link(child_host, child);
            if (target.info.kind == FileKind::Directory) {
                const auto id = std::make_pair(target.info.device, target.info.index);
                if (std::find(open_directories_.begin(), open_directories_.end(), id) != open_directories_.end()) {
                    throw PackError(display(child) + " (a symbolic link to '" + printable(target.text) +
                                    "') leads to a directory that contains it: copying it would never end");
                }
                directories.push_back(table_name);
                walk_directory(nullptr, target.resolved, target.resolved, child);
                continue;
            }
            UniqueFd probe(host_open_read(target.resolved, true));
            if (!probe) {
                const int err = host_last_error();
                throw PackError("cannot read " + display(child) + " (a symbolic link to '" + printable(target.text) +
                                "'): " + system_error_text(err));
            }
            add_file(child, target.resolved, target.info);
            continue;
        }
        if (info.kind == FileKind::Directory) {
            directories.push_back(table_name);
            walk_directory(&dir, path_from_utf8(name), child_host, child);
            continue;
        }
        if (info.kind != FileKind::Regular) {
            throw PackError(display(child) + " is not a regular file or directory; only regular files can be packed");
        }
        // Find an unreadable file now rather than after compressing everything before it.
        UniqueFd probe(host_open_read_at(dir, name));
        if (!probe) {
            const int err = host_last_error();
            throw PackError("cannot read " + display(child) + ": " + system_error_text(err));
        }
        add_file(child, child_host, info);
    }
    open_directories_.pop_back();
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

std::vector<SourceFile> collect_app_files(const fs::path& app_dir, std::string_view main_binary_rel, Target target,
                                          const LinkPolicy& links) {
    const std::string main_name = normalize_main_binary(main_binary_rel);

    FileStatus info;
    if (!host_status(app_dir, true, info)) {
        throw_system_error("open the application directory", app_dir, host_last_error());
    }
    if (info.kind != FileKind::Directory) {
        throw PackError("the application directory " + quote_path(app_dir) + " is not a directory");
    }

    fs::path main_path = app_dir;
    for (const std::string& part : split_relative(main_name)) {
        main_path /= path_from_utf8(part);
    }
    if (!host_status(main_path, false, info)) {
        const int err = host_last_error();
        if (host_error_is_not_found(err)) {
            throw PackError("the main binary " + quote_path(main_path) + " does not exist");
        }
        throw_system_error("read the main binary", main_path, err);
    }
    // A link is checked where the walk meets it, with every other link; here only what it leads
    // to matters, when it leads anywhere.
    if (info.kind == FileKind::Link && !host_status(main_path, true, info)) {
        info.kind = FileKind::Regular;
    }
    if (info.kind != FileKind::Regular) {
        throw PackError("the main binary " + quote_path(main_path) + " is not a regular file");
    }

    fs::path app_real;
    if (!host_real_path(app_dir, app_real)) {
        throw_system_error("open the application directory", app_dir, host_last_error());
    }

    TreeWalker walker(app_dir, app_real, target, links.follow_outside);
    walker.walk_directory(nullptr, app_dir, app_dir, {});
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
