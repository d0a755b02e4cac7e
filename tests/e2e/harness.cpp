#include "harness.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

fs::path source_root() { return fs::path(ONEFILE_SOURCE_DIR); }
// The Linux launcher kit and fixtures are those of the build tree these tests were built in, so that
// a second Linux build tree tests its own launcher; the Windows ones come from the Windows preset.
fs::path build_dir(Target target) {
    return target == Target::Linux ? fs::path(ONEFILE_BINARY_DIR) : source_root() / "build" / target_name(target);
}

// Where Linux runs of the harness put their target directories.
fs::path linux_temp() {
    // Removed at exit when the runs left it empty, as they should.
    struct TempDir {
        fs::path path = fs::temp_directory_path() / ("onefile-e2e-" + std::to_string(getpid()));
        TempDir() { fs::create_directories(path); }
        ~TempDir() {
            std::error_code error;
            fs::remove(path, error);
        }
    };
    static const TempDir directory;
    return directory.path;
}

struct Spawned {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    int in = -1;  // the write end of the child's stdin while it is kept open, else -1
};

// The strings as the null-terminated array exec and spawn take; valid while `strings` lives.
std::vector<char*> null_terminated(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const auto& text : strings) out.push_back(const_cast<char*>(text.c_str()));
    out.push_back(nullptr);
    return out;
}

Spawned spawn_process(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& cwd,
                      bool keep_stdin_open) {
    Spawned spawned;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return spawned;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own, so that a timeout can end the whole tree.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<char*> args = null_terminated(argv);
    std::vector<char*> envp = null_terminated(env);

    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (!keep_stdin_open) close(in_pipe[1]);
    if (error != 0) {
        ADD_FAILURE() << "spawn " << argv[0] << ": " << strerror(error);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (keep_stdin_open) close(in_pipe[1]);
        return spawned;
    }
    spawned.pid = pid;
    spawned.out = out_pipe[0];
    spawned.err = err_pipe[0];
    spawned.in = keep_stdin_open ? in_pipe[1] : -1;
    return spawned;
}

RunResult spawn_and_collect(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const fs::path& cwd, int timeout_ms, bool keep_stdin_open) {
    const Spawned spawned = spawn_process(argv, env, cwd, keep_stdin_open);
    if (spawned.pid < 0) return RunResult{};
    RunningProcess process(spawned.pid, spawned.out, spawned.err, spawned.in);
    return process.finish(timeout_ms);
}

std::vector<std::string> environment_with(const std::map<std::string, std::optional<std::string>>& changes) {
    std::map<std::string, std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string entry = *p;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            env[name] = *value;
        } else {
            env.erase(name);
        }
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

}  // namespace

std::string target_name(Target target) { return target == Target::Linux ? "linux" : "windows"; }

std::string library_name(Target target, const std::string& stem) {
    return stem + (target == Target::Linux ? ".so" : ".dll");
}

fs::path fixture_path(Target target, const std::string& stem) {
    return build_dir(target) / "bin" / library_name(target, stem);
}

fs::path program_fixture_path(Target target, const std::string& stem) {
    return build_dir(target) / "bin" / (stem + (target == Target::Windows ? ".exe" : ""));
}

bool target_available(Target target) {
    return fs::exists(build_dir(target) / "share" / "onefile" / target_name(target) /
                     (target == Target::Windows ? "launcher.exe" : "launcher")) &&
           fs::exists(fixture_path(target, "fixture_app"));
}

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "onefile-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    // Tests may leave read-only files behind on purpose.
    for (auto it = fs::recursive_directory_iterator(path_, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(path_, error);
}

fs::path make_fixture_app(Target target, const fs::path& directory) {
    fs::create_directories(directory);
    for (const char* stem : {"fixture_app", "fixture_helper"}) {
        fs::copy_file(fixture_path(target, stem), directory / library_name(target, stem),
                      fs::copy_options::overwrite_existing);
    }
    return directory;
}

void write_file(const fs::path& path, const std::string& content) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

RunResult run_packer(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{ONEFILE_PACK_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return spawn_and_collect(argv, environment_with({}), {}, 600000, false);
}

void pack(Target target, const fs::path& app_dir, const std::string& main, const fs::path& output,
          const std::vector<std::string>& extra) {
    std::vector<std::string> arguments{"--quiet", "--target", target_name(target)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.insert(arguments.end(), {"-o", output.string(), app_dir.string(), main});
    const RunResult result = run_packer(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
}

void pack_exec(Target target, const fs::path& app_dir, const std::string& program, const fs::path& output) {
    const RunResult result = run_packer(
        {"--quiet", "--target", target_name(target), "-o", output.string(), "--exec", app_dir.string(), program});
    ASSERT_EQ(result.status, 0) << result.err;
}

void pack_raw(Target target, const std::string& attached, const fs::path& output) {
    const fs::path data = output.string() + ".attached";
    write_file(data, attached);
    const RunResult result = run_packer(
        {"--quiet", "--target", target_name(target), "--raw-attached", data.string(), "-o", output.string()});
    ASSERT_EQ(result.status, 0) << result.err;
}

namespace {

int shell_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

struct Invocation {
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

Invocation invocation_for(Target target, const fs::path& executable, const RunOptions& options) {
    Invocation invocation;
    invocation.argv = options.command_prefix;
    auto changes = options.environment;
    if (target == Target::Windows) {
        invocation.argv.push_back("wine");
        changes.emplace("WINEPREFIX", wine_prefix().string());
        changes.emplace("WINEDEBUG", "-all");
        changes.emplace("WINEDLLOVERRIDES", "winedbg.exe=d;mscoree,mshtml=");
        changes.emplace("LANG", "C.UTF-8");
    } else {
        changes.emplace("TMPDIR", linux_temp().string());
    }
    invocation.argv.push_back(executable.string());
    invocation.argv.insert(invocation.argv.end(), options.arguments.begin(), options.arguments.end());
    invocation.env = environment_with(changes);
    return invocation;
}

}  // namespace

RunOptions with_arguments(std::vector<std::string> arguments) {
    RunOptions options;
    options.arguments = std::move(arguments);
    return options;
}

RunResult run(Target target, const fs::path& executable, const RunOptions& options) {
    const Invocation invocation = invocation_for(target, executable, options);
    return spawn_and_collect(invocation.argv, invocation.env, options.working_directory, options.timeout_ms,
                             options.keep_stdin_open);
}

fs::path wine_prefix() {
    const char* prefix = getenv("WINEPREFIX");
    return prefix != nullptr ? fs::path(prefix) : source_root() / "build" / "wineprefix";
}

pid_t start_on_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const fs::path& directory, int* terminal) {
    *terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*terminal < 0 || grantpt(*terminal) != 0 || unlockpt(*terminal) != 0 || ptsname(*terminal) == nullptr) {
        ADD_FAILURE() << "pseudo-terminal: " << strerror(errno);
        if (*terminal >= 0) close(*terminal);
        *terminal = -1;
        return -1;
    }
    const std::string terminal_name = ptsname(*terminal);
    // Everything the new process needs is ready before the fork: only system calls follow it.
    std::vector<char*> args = null_terminated(argv);
    std::vector<char*> envp = null_terminated(env);
    const char* cwd = directory.empty() ? nullptr : directory.c_str();
    const pid_t pid = fork();
    if (pid == 0) {
        // A session of its own, whose controlling terminal is the first terminal it opens.
        setsid();
        const int slave = open(terminal_name.c_str(), O_RDWR);
        if (slave < 0) _exit(126);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) close(slave);
        if (cwd != nullptr && chdir(cwd) != 0) _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        close(*terminal);
        *terminal = -1;
    }
    return pid;
}

RunResult run_in_terminal(Target target, const fs::path& executable, const RunOptions& options) {
    const Invocation invocation = invocation_for(target, executable, options);
    RunResult result;
    int terminal = -1;
    const pid_t pid = start_on_terminal(invocation.argv, invocation.env, options.working_directory, &terminal);
    if (pid < 0) return result;
    // The terminal reports an error once every process holding it has ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-pid, SIGKILL);
            break;
        }
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        if (ready.revents == 0) continue;
        char buffer[4096];
        const ssize_t n = read(terminal, buffer, sizeof buffer);
        if (n <= 0) break;
        result.out.append(buffer, static_cast<size_t>(n));
    }
    close(terminal);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = result.timed_out ? -1 : shell_status(status);
    return result;
}

std::unique_ptr<RunningProcess> start(Target target, const fs::path& executable, const RunOptions& options) {
    const Invocation invocation = invocation_for(target, executable, options);
    const Spawned spawned =
        spawn_process(invocation.argv, invocation.env, options.working_directory, options.keep_stdin_open);
    if (spawned.pid < 0) return nullptr;
    return std::make_unique<RunningProcess>(spawned.pid, spawned.out, spawned.err, spawned.in);
}

RunningProcess::RunningProcess(pid_t pid, int out_fd, int err_fd, int in_fd)
    : pid_(pid), fds_{out_fd, err_fd}, in_fd_(in_fd) {}

RunningProcess::~RunningProcess() {
    if (!reaped_) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_) {
        if (fd >= 0) close(fd);
    }
    if (in_fd_ >= 0) close(in_fd_);
}

bool RunningProcess::pump(int timeout_ms) {
    pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] < 0 && fds_[1] < 0) return false;
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[65536];
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? result_.out : result_.err).append(buffer, static_cast<size_t>(n));
        } else {
            close(fds_[i]);
            fds_[i] = -1;
        }
    }
    return fds_[0] >= 0 || fds_[1] >= 0;
}

void RunningProcess::close_stdin() {
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
}

bool RunningProcess::write_stdin(const std::string& bytes) {
    if (in_fd_ < 0) return false;
    // A reader that is gone makes the write fail with EPIPE rather than end the test process.
    static const bool pipe_signal_ignored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)pipe_signal_ignored;
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(in_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RunningProcess::wait_for_stdout(const std::string& text, int timeout_ms) {
    return wait_for_stdout_if([&](const std::string& out) { return out.find(text) != std::string::npos; }, timeout_ms);
}

bool RunningProcess::wait_for_stdout_if(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done(result_.out)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (!pump(static_cast<int>(left.count()))) return done(result_.out);
    }
    return true;
}

void RunningProcess::poll_own_end() {
    if (reaped_) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        own_status_ = shell_status(status);
    }
}

RunResult RunningProcess::finish(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        poll_own_end();
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result_.timed_out = true;
            kill(-pid_, SIGKILL);
            break;
        }
        // Short waits, so that the started process's own end is seen while others keep the
        // streams open.
        if (!pump(static_cast<int>(std::min<long long>(left.count(), 100)))) break;
    }
    for (int& fd : fds_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
    if (!reaped_) {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        own_status_ = result_.timed_out ? -1 : shell_status(status);
    }
    result_.status = result_.timed_out ? -1 : own_status_;
    return result_;
}

fs::path launcher_temp_dir(Target target) {
    if (target == Target::Linux) return linux_temp();
    const fs::path users = wine_prefix() / "drive_c" / "users";
    const char* user = getenv("USER");
    if (user != nullptr && fs::exists(users / user / "Temp")) return users / user / "Temp";
    for (const auto& entry : fs::directory_iterator(users)) {
        if (fs::exists(entry.path() / "Temp")) return entry.path() / "Temp";
    }
    return users / "root" / "Temp";
}

std::vector<fs::path> target_directories(Target target) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(launcher_temp_dir(target), error)) {
        if (entry.path().filename().string().rfind("onefile_", 0) == 0) found.push_back(entry.path());
    }
    return found;
}

fs::path host_path(Target target, const std::string& printed) {
    if (target == Target::Linux) return printed;
    std::string rest = printed.size() > 2 ? printed.substr(3) : std::string();
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    const char drive = static_cast<char>(tolower(static_cast<unsigned char>(printed[0])));
    if (drive == 'z') return fs::path("/") / rest;
    return wine_prefix() / ("drive_" + std::string(1, drive)) / rest;
}

std::string eol(Target target) { return target == Target::Windows ? "\r\n" : "\n"; }

void expect_plain_failure(const RunResult& result, const std::string& message, Target target) {
    EXPECT_EQ(result.out, message + eol(target));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 2);
}

namespace {
void put_u64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
void put_u16s(std::string& out, const std::u16string& text) {
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    out += std::string(2, '\0');
}
}  // namespace

std::string attached_bytes(uint64_t table_size, uint64_t compressed_size, const std::string& table,
                           const std::string& stream, const std::string& trailing) {
    std::string out;
    put_u64(out, table_size);
    put_u64(out, compressed_size);
    return out + table + stream + trailing;
}

std::string entry_bytes(const EntrySpec& entry) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += static_cast<char>((entry.flags >> (8 * i)) & 0xFF);
    put_u64(out, entry.size);
    put_u16s(out, entry.name);
    if ((entry.flags & 2) != 0) put_u16s(out, entry.second);
    return out;
}

std::string compress(const std::string& content) {
    std::string out(ZSTD_compressBound(content.size()), '\0');
    const size_t size = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3);
    if (ZSTD_isError(size)) {
        ADD_FAILURE() << ZSTD_getErrorName(size);
        return {};
    }
    out.resize(size);
    return out;
}

void TargetTest::SetUp() {
    if (!target_available(GetParam())) {
        if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << target_name(GetParam()) << " build missing";
        GTEST_SKIP() << target_name(GetParam()) << " build missing; build that preset first";
    }
}

std::string target_param_name(const ::testing::TestParamInfo<Target>& info) { return target_name(info.param); }

namespace {

fs::file_time_type newest_input(Target target) {
    std::vector<fs::path> inputs = {ONEFILE_PACK_PATH, fixture_path(target, "fixture_app"),
                                    fixture_path(target, "fixture_helper")};
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator(build_dir(target) / "share" / "onefile" / target_name(target), error)) {
        inputs.push_back(entry.path());
    }
    fs::file_time_type newest = fs::file_time_type::min();
    for (const auto& input : inputs) {
        const auto time = fs::last_write_time(input, error);
        if (error) return fs::file_time_type::max();  // an input we cannot date: pack again
        newest = std::max(newest, time);
    }
    return newest;
}

}  // namespace

const fs::path& packed_fixture(Target target) {
    static std::map<Target, fs::path> packed;
    const auto found = packed.find(target);
    if (found != packed.end()) return found->second;
    // Kept in the build tree, because ctest runs every test in a process of its own; packed again
    // whenever the packer, the launcher kit or a fixture is newer. A kit chosen through the
    // environment is not the build's own: its executables stay with this process.
    static ScratchDir private_cache;
    const fs::path cache =
        getenv("ONEFILE_KIT_DIR") != nullptr ? private_cache.path() : build_dir(Target::Linux) / "e2e-cache";
    const fs::path exe = cache / ("fixture-" + target_name(target) + ".exe");
    std::error_code error;
    const auto packed_at = fs::last_write_time(exe, error);
    if (error || packed_at <= newest_input(target)) {
        fs::create_directories(cache);
        ScratchDir scratch;
        const fs::path app = make_fixture_app(target, scratch / "app");
        // Written beside the cache and renamed, so no process ever runs a half-written file.
        const fs::path fresh = scratch / "fixture.exe";
        pack(target, app, library_name(target, "fixture_app"), fresh);
        const fs::path staged = cache / ("fixture-" + target_name(target) + ".exe." + std::to_string(getpid()));
        fs::copy_file(fresh, staged, fs::copy_options::overwrite_existing);
        fs::rename(staged, exe);
    }
    return packed.emplace(target, exe).first->second;
}

std::vector<std::string> output_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::map<std::string, std::string> key_values(const std::string& text) {
    std::map<std::string, std::string> values;
    for (const auto& line : output_lines(text)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 1469598103934665603ULL;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::string windows_path(const fs::path& host) {
    std::string path = "Z:" + fs::absolute(host).lexically_normal().string();
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

// A Windows path printed by the launcher against the host path it should name. Wine's Z: drive
// shows the host path; a directory part may come in short (8.3) form, spelled Wine's way, so a
// component with a '~' stands for any name.
::testing::AssertionResult names_host_path(const std::string& printed, const fs::path& host) {
    const std::string expected = windows_path(host);
    auto split = [](const std::string& path) {
        std::vector<std::string> parts;
        std::string part;
        for (char c : path) {
            if (c == '\\') {
                parts.push_back(part);
                part.clear();
            } else {
                part += static_cast<char>(tolower(static_cast<unsigned char>(c)));
            }
        }
        parts.push_back(part);
        return parts;
    };
    const auto got = split(printed);
    const auto want = split(expected);
    bool same = got.size() == want.size();
    for (size_t i = 0; same && i < got.size(); ++i) {
        same = got[i] == want[i] || got[i].find('~') != std::string::npos;
    }
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << printed << "' does not name '" << expected << "'";
}

std::vector<fs::path> new_target_directories(Target target, const std::vector<fs::path>& before) {
    std::vector<fs::path> fresh;
    for (const auto& directory : target_directories(target)) {
        if (std::find(before.begin(), before.end(), directory) == before.end()) fresh.push_back(directory);
    }
    return fresh;
}

void remove_left_directory(const fs::path& directory) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(directory, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::remove_all(directory, error);
}

std::vector<std::string> files_below(const fs::path& directory) {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(directory, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file()) files.push_back(fs::relative(it->path(), directory).generic_string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

RunResult run_command(const std::vector<std::string>& argv, int timeout_ms) {
    return spawn_and_collect(argv, environment_with({}), {}, timeout_ms, false);
}

std::u16string utf16(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
        i += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string file_table(const std::vector<FileSpec>& files) {
    std::string table;
    for (const auto& file : files) {
        table += entry_bytes({file.flags, file.size.value_or(file.content.size()), file.name, file.second});
    }
    return table;
}

std::string joined_contents(const std::vector<FileSpec>& files) {
    std::string joined;
    for (const auto& file : files) joined += file.content;
    return joined;
}

std::string attached_for(const std::vector<FileSpec>& files, const std::string& trailing) {
    const std::string table = file_table(files);
    const std::string stream = compress(joined_contents(files));
    return attached_bytes(table.size(), stream.size(), table, stream, trailing);
}

std::vector<FileSpec> fixture_files(Target target) {
    return {
        {0, utf16(library_name(target, "fixture_app")), read_file(fixture_path(target, "fixture_app"))},
        {FLAG_LAST, utf16(library_name(target, "fixture_helper")), read_file(fixture_path(target, "fixture_helper"))},
    };
}

}  // namespace e2e
