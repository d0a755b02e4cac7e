// Ctrl+C during a pack by the Windows-hosted packer leaves nothing behind: neither the pending
// output beside it, nor the scratch file there, nor its temporary directory in the Wine user's
// temporary directory. The packer runs under Wine on a pseudo-terminal, which gives it a console
// whose Ctrl+C reaches its console control handler; the ^C is typed once the packer has printed
// that it reached a known point, never after a guessed delay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

extern char** environ;

namespace e2e {
namespace {

constexpr int kDeadlineMs = 120000;

fs::path paused_packer() {
    return fs::path(ONEFILE_SOURCE_DIR) / "build" / "windows" / "bin" / "onefile_pack_paused.exe";
}

// A process on a pseudo-terminal of its own: its controlling terminal and standard streams.
class TerminalProcess {
public:
    explicit TerminalProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env)
        : pid_(start_on_terminal(argv, env, fs::path(), &master_)) {}
    ~TerminalProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    // What the terminal showed, without the console's control sequences and without blanks (Wine
    // draws a space as "erase, move right").
    std::string visible() const {
        static const std::regex control("\x1b\\[[0-9;?]*[A-Za-z]|[ \r\n]");
        return std::regex_replace(shown_, control, "");
    }
    // Reads until the visible text holds `text`; false when the terminal closed or time ran out.
    bool wait_for(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (visible().find(text) == std::string::npos) {
            if (!read_some(deadline)) return false;
        }
        return true;
    }
    void type(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Reads until the terminal closes (every process holding it has ended), then reaps the process
    // and returns its wait status; -1 when it had to be killed.
    int finish() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (read_some(deadline)) {}
        bool timed_out = std::chrono::steady_clock::now() >= deadline;
        if (timed_out) kill(-pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return timed_out ? -1 : status;
    }
    const std::string& shown() const { return shown_; }

private:
    bool read_some(std::chrono::steady_clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        shown_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    // Declared before pid_: initialised first, then set when the process starts.
    int master_ = -1;
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::string shown_;
};

std::vector<std::string> wine_environment() {
    const std::vector<std::string> ours = {"WINEPREFIX=" + wine_prefix().string(), "WINEDEBUG=-all",
                                           "WINEDLLOVERRIDES=winedbg.exe=d;mscoree,mshtml=", "LANG=C.UTF-8",
                                           "ONEFILE_PACK_TEST_PAUSE=compressing"};
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        const std::string entry = *p;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        const bool replaced =
            std::any_of(ours.begin(), ours.end(), [&](const std::string& mine) { return mine.rfind(name, 0) == 0; });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), ours.begin(), ours.end());
    return env;
}

// The packer's temporary directories in the Wine user's temporary directory.
std::vector<fs::path> packer_temporaries() {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(launcher_temp_dir(Target::Windows), error)) {
        if (entry.path().filename().string().rfind("onefile-pack.", 0) == 0) found.push_back(entry.path());
    }
    return found;
}

std::vector<std::string> entries_of(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) names.push_back(entry.path().string());
    return names;
}

struct Interruption {
    const char* label;
    bool attached_only;  // the pending output and the scratch file lie beside the output
};

void PrintTo(const Interruption& param, std::ostream* out) { *out << param.label; }

class WindowsHostInterrupted : public ::testing::TestWithParam<Interruption> {
protected:
    void SetUp() override {
        if (!target_available(Target::Windows) || !fs::exists(paused_packer())) {
            if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << paused_packer() << " missing";
            GTEST_SKIP() << "build the windows preset first";
        }
    }
};

TEST_P(WindowsHostInterrupted, CtrlCLeavesNothingAndEndsAsInterrupted) {
    const std::string name = "onefile-winhost-int-" + std::to_string(getpid());
    const fs::path host_dir = wine_prefix() / "drive_c" / name;
    const std::string windows_dir = "C:\\" + name;
    std::error_code error;
    fs::remove_all(host_dir, error);
    make_fixture_app(Target::Windows, host_dir / "app");
    std::mt19937 random(5);
    std::string data(3 << 20, '\0');
    for (char& c : data) c = static_cast<char>(random());
    write_file(host_dir / "app" / "data.bin", data);
    fs::create_directories(host_dir / "out");
    const std::vector<fs::path> before = packer_temporaries();

    std::vector<std::string> argv = {"wine", paused_packer().string(), "--quiet"};
    if (GetParam().attached_only) {
        argv.insert(argv.end(), {"--attached-only", windows_dir + "\\out\\attached.bin"});
    } else {
        argv.insert(argv.end(), {"-o", windows_dir + "\\out\\app.exe"});
    }
    argv.insert(argv.end(), {windows_dir + "\\app", "fixture_app.dll"});
    {
        TerminalProcess packer(argv, wine_environment());
        ASSERT_TRUE(packer.wait_for("pausedcompressing")) << packer.shown();
        // Something to clean up is there: a test that would pass without the cleanup proves nothing.
        EXPECT_FALSE(entries_of(host_dir / "out").empty());
        if (!GetParam().attached_only) EXPECT_GT(packer_temporaries().size(), before.size());

        packer.type("\x03");
        const int status = packer.finish();
        ASSERT_TRUE(WIFEXITED(status)) << status << ": " << packer.shown();
        // STATUS_CONTROL_C_EXIT (0xC000013A), of which the Linux side sees the low byte.
        EXPECT_EQ(WEXITSTATUS(status), 0x3A) << packer.visible();
    }
    EXPECT_EQ(entries_of(host_dir / "out"), std::vector<std::string>{});
    EXPECT_EQ(packer_temporaries(), before);
    fs::remove_all(host_dir, error);
}

INSTANTIATE_TEST_SUITE_P(Packer, WindowsHostInterrupted,
                         ::testing::Values(Interruption{"Executable", false}, Interruption{"AttachedOnly", true}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace e2e
