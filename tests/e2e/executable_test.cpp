// Properties of the packed executables themselves: a GUI program with an 8 MiB stack and a
// manifest that needs nothing but system libraries on Windows (or, packed with --console, a console
// program that is otherwise the same and shares its console with the application), and a Linux
// program that needs nothing but the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value after `key` on the first line of objdump's output that starts with it.
std::string field(const std::string& dump, const std::string& key) {
    for (const auto& line : output_lines(dump)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string rest = line.substr(key.size());
        rest.erase(0, rest.find_first_not_of(" \t"));
        return rest.substr(0, rest.find_first_of(" \t"));
    }
    return "<missing>";
}

std::vector<std::string> imported_libraries(const std::string& dump) {
    std::vector<std::string> names;
    const std::string key = "DLL Name: ";
    for (const auto& line : output_lines(dump)) {
        const auto at = line.find(key);
        if (at != std::string::npos) names.push_back(lower(line.substr(at + key.size())));
    }
    return names;
}

// A 64-bit launcher of the given subsystem ("00000002" GUI, "00000003" console) with an 8 MiB stack
// reserve and 4 KiB commit that imports only system libraries.
void expect_launcher_headers(const fs::path& exe, const std::string& subsystem) {
    const RunResult headers = run_command({"x86_64-w64-mingw32-objdump", "-p", exe.string()});
    ASSERT_EQ(headers.status, 0) << headers.err;
    EXPECT_EQ(field(headers.out, "Magic"), "020b");  // PE32+: a 64-bit executable
    EXPECT_EQ(field(headers.out, "Subsystem"), subsystem);
    EXPECT_EQ(field(headers.out, "SizeOfStackReserve"), "0000000000800000");
    EXPECT_EQ(field(headers.out, "SizeOfStackCommit"), "0000000000001000");

    const std::set<std::string> system = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "advapi32.dll", "user32.dll"};
    const auto imports = imported_libraries(headers.out);
    EXPECT_FALSE(imports.empty());
    for (const auto& name : imports) EXPECT_TRUE(system.count(name) == 1) << "imports " << name;
}

TEST(WindowsExecutable, GuiProgramWithAnEightMegabyteStackImportingOnlySystemLibraries) {
    if (!target_available(Target::Windows)) GTEST_SKIP() << "windows build missing";
    expect_launcher_headers(packed_fixture(Target::Windows), "00000002");
}

TEST(WindowsExecutable, CarriesTheApplicationManifest) {
    if (!target_available(Target::Windows)) GTEST_SKIP() << "windows build missing";
    const fs::path& exe = packed_fixture(Target::Windows);
    const RunResult sections = run_command({"x86_64-w64-mingw32-objdump", "-h", exe.string()});
    ASSERT_EQ(sections.status, 0) << sections.err;
    EXPECT_NE(sections.out.find(" .rsrc "), std::string::npos) << sections.out;

    // The manifest is stored as its XML text.
    const std::string bytes = read_file(exe);
    // The five supported systems, Vista to 10.
    for (const char* text : {"level=\"asInvoker\" uiAccess=\"false\"", ">true</longPathAware>",
                             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                             "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                             "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(bytes.find(text), std::string::npos) << "manifest lacks " << text;
    }
}

// The fixture application packed as a console launcher.
fs::path pack_console_fixture(const ScratchDir& dir) {
    const fs::path app = make_fixture_app(Target::Windows, dir / "app");
    const fs::path exe = dir / "console-launcher.exe";
    pack(Target::Windows, app, library_name(Target::Windows, "fixture_app"), exe, {"--console"});
    return exe;
}

bool windows_available() {
    if (target_available(Target::Windows)) return true;
    if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) ADD_FAILURE() << "windows build missing";
    return false;
}

TEST(WindowsExecutable, ConsoleLauncherIsAConsoleProgramWithTheSameStackAndImports) {
    if (!windows_available()) GTEST_SKIP() << "windows build missing";
    ScratchDir dir;
    expect_launcher_headers(pack_console_fixture(dir), "00000003");
}

TEST(WindowsConsoleLauncher, RunsTheApplicationWithItsOutputOnTheCallersStreams) {
    if (!windows_available()) GTEST_SKIP() << "windows build missing";
    ScratchDir dir;
    const fs::path exe = pack_console_fixture(dir);
    const auto before = target_directories(Target::Windows);

    const RunResult args = run(Target::Windows, exe, with_arguments({"args", "x y"}));
    EXPECT_EQ(args.status, 0) << args.err;
    const auto lines = output_lines(args.out);
    ASSERT_EQ(lines.size(), 4u) << args.out;
    EXPECT_EQ(lines[0], "argc=3");
    EXPECT_EQ(lines[2], "arg1=61 72 67 73");  // "args"
    EXPECT_EQ(lines[3], "arg2=78 20 79");     // "x y"

    const RunResult status = run(Target::Windows, exe, with_arguments({"exit", "7"}));
    EXPECT_EQ(status.status, 7);
    EXPECT_TRUE(new_target_directories(Target::Windows, before).empty());
}

// An .ico file with one 1x1 32-bit bitmap image.
std::string tiny_icon() {
    const std::string image = std::string("\x28\0\0\0\x01\0\0\0\x02\0\0\0\x01\0\x20\0", 16) + std::string(24, '\0') +
                              std::string("\x10\x20\x30\xff", 4) + std::string(4, '\0');
    std::string ico("\0\0\x01\0\x01\0\x01\x01\0\0\x01\0\x20\0", 14);
    ico += static_cast<char>(image.size());
    ico += std::string("\0\0\0\x16\0\0\0", 7);
    return ico + image;
}

TEST(WindowsExecutable, WithAnIconAndVersionInformationRunsAsBeforeAndTheSystemReadsBoth) {
    if (!windows_available()) GTEST_SKIP() << "windows build missing";
    ScratchDir dir;
    write_file(dir / "app.ico", tiny_icon());
    const fs::path app = make_fixture_app(Target::Windows, dir / "app");
    const fs::path exe = dir / "finished.exe";
    pack(Target::Windows, app, library_name(Target::Windows, "fixture_app"), exe,
         {"--icon", (dir / "app.ico").string(), "--version-info", "product=Fixture Ünïcode", "--version-info",
          "version=1.2", "--version-info", "company=Example", "--version-info", "description=The fixture",
          "--version-info", "copyright=© 2026 Example"});
    const RunResult result = run(Target::Windows, exe, with_arguments({"exit", "3"}));
    EXPECT_EQ(result.status, 3) << result.err;
    EXPECT_EQ(result.out, "");

    // And the system's own functions, those Explorer uses, find the version information and the icon.
    const fs::path driver = fixture_path(Target::Windows, "fixture_app").parent_path() / "resource_driver.exe";
    ASSERT_TRUE(fs::exists(driver)) << "build the windows preset's resource_driver";
    const RunResult read = run(Target::Windows, driver, with_arguments({windows_path(exe)}));
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(output_lines(read.out),
              (std::vector<std::string>{"version=1.2.0.0", "ProductName=Fixture Ünïcode", "ProductVersion=1.2",
                                        "FileVersion=1.2", "CompanyName=Example", "FileDescription=The fixture",
                                        "LegalCopyright=© 2026 Example", "OriginalFilename=finished.exe", "icons=1"}))
        << read.err;

    // The default executable has neither.
    const RunResult plain =
        run(Target::Windows, driver, with_arguments({windows_path(packed_fixture(Target::Windows))}));
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(output_lines(plain.out), (std::vector<std::string>{"version=none", "icons=0"})) << plain.err;
}

// What a terminal shows, without the control sequences a console draws with and without CRs.
std::string visible_text(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            i += 2;
            while (i < raw.size() &&
                   (static_cast<unsigned char>(raw[i]) < 0x40 || static_cast<unsigned char>(raw[i]) > 0x7E))
                ++i;
        } else if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == ']') {
            while (i < raw.size() && raw[i] != '\a') ++i;
        } else if (raw[i] != '\r') {
            out += raw[i];
        }
    }
    return out;
}

// Started from a terminal (Wine gives a console program there a console of its own), the launcher
// and its child share that console: the application's output appears in it, and a Ctrl+C reaches
// both. The application ends on it, the launcher waits for that and removes the target directory.
// A child on a console of its own, or on none, would sleep on and the launcher with it.
TEST(WindowsConsoleLauncher, FromATerminalTheChildSharesTheConsoleAndCtrlCEndsBothAndCleansUp) {
    if (!windows_available()) GTEST_SKIP() << "windows build missing";
    ScratchDir dir;
    const fs::path exe = pack_console_fixture(dir);
    const auto before = target_directories(Target::Windows);

    RunOptions options = with_arguments({"sleep", "120000"});
    options.keep_stdin_open = true;
    // script(1) runs the command on a new pseudo-terminal and passes its own input to it.
    options.command_prefix = {"sh", "-c", "exec script -qfec \"$*\" /dev/null", "sh"};
    const auto process = start(Target::Windows, exe, options);
    ASSERT_NE(process, nullptr);
    ASSERT_TRUE(process->wait_for_stdout_if(
        [](const std::string& out) { return visible_text(out).find("sleeping") != std::string::npos; }, 60000))
        << process->out_so_far();
    EXPECT_EQ(new_target_directories(Target::Windows, before).size(), 1u);

    ASSERT_TRUE(process->write_stdin("\x03"));
    // Far less than the application's sleep: only a Ctrl+C that reached it ends the run in time.
    const RunResult result = process->finish(60000);
    EXPECT_FALSE(result.timed_out) << visible_text(result.out);
    EXPECT_TRUE(new_target_directories(Target::Windows, before).empty());
}

TEST(LinuxExecutable, NeedsOnlyTheCLibrary) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    const RunResult dynamic = run_command({"readelf", "-d", packed_fixture(Target::Linux).string()});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    const std::set<std::string> allowed = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"};
    std::vector<std::string> needed;
    for (const auto& line : output_lines(dynamic.out)) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        const auto open = line.find('[');
        const auto close = line.find(']');
        if (open != std::string::npos && close != std::string::npos) needed.push_back(line.substr(open + 1, close - open - 1));
    }
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
    for (const auto& name : needed) EXPECT_TRUE(allowed.count(name) == 1) << "needs " << name;
}

}  // namespace
}  // namespace e2e
