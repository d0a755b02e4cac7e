// The choice of role: only a live launcher of this very executable makes a process the child;
// every other value of the parent marker leaves it a parent that unpacks afresh.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return isdigit(c) != 0; });
}

// Runs the packed fixture's "env" mode with these variables; returns the values it printed and
// the launcher's own process id (Linux only; -1 for Windows).
struct EnvRun {
    RunResult result;
    std::map<std::string, std::string> values;
    pid_t launcher_pid = -1;
};

EnvRun run_env(Target target, const fs::path& exe, const std::map<std::string, std::optional<std::string>>& env) {
    RunOptions options = with_arguments({"env"});
    options.environment = env;
    EnvRun run;
    auto launcher = start(target, exe, options);
    if (launcher == nullptr) return run;
    if (target == Target::Linux) run.launcher_pid = launcher->pid();
    run.result = launcher->finish(60000);
    run.values = key_values(run.result.out);
    return run;
}

// What a parent shows: the app ran, under a marker that is this launcher's own id, in a target
// directory made from fresh values.
void expect_parent_mode(Target target, const EnvRun& run, const std::string& injected_parent) {
    EXPECT_EQ(run.result.status, 0) << run.result.out << run.result.err;
    EXPECT_EQ(run.result.err, "");
    const std::string parent = run.values.count("VARNOK_ONEFILE_PARENT") ? run.values.at("VARNOK_ONEFILE_PARENT") : "";
    EXPECT_TRUE(all_digits(parent)) << parent;
    if (target == Target::Linux) {
        EXPECT_EQ(parent, std::to_string(run.launcher_pid));
    } else {
        EXPECT_NE(parent, injected_parent);
    }
}

struct Marker {
    std::string name;
    std::string value;
};
void PrintTo(const Marker& marker, std::ostream* out) { *out << marker.name; }

class UnusableParentMarker : public ::testing::TestWithParam<std::tuple<Target, Marker>> {
protected:
    void SetUp() override {
        if (!target_available(std::get<0>(GetParam()))) GTEST_SKIP() << "build missing";
    }
};

TEST_P(UnusableParentMarker, LeavesTheLauncherAParent) {
    const auto& [target, marker] = GetParam();
    EnvRun run = run_env(target, packed_fixture(target), {{"VARNOK_ONEFILE_PARENT", marker.value}});
    expect_parent_mode(target, run, marker.value);
}

INSTANTIATE_TEST_SUITE_P(Markers, UnusableParentMarker,
                         ::testing::Combine(::testing::Values(Target::Linux, Target::Windows),
                                            ::testing::Values(Marker{"Empty", ""}, Marker{"Blank", " "},
                                                              Marker{"Letters", "abc"},
                                                              Marker{"NumberThenLetter", "12x"},
                                                              Marker{"FarOutOfRange", "99999999999"},
                                                              Marker{"JustAbove32Bits", "2147483648"},
                                                              Marker{"MinusOne", "-1"}, Marker{"Zero", "0"})),
                         [](const auto& info) {
                             return target_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

class Role : public TargetTest {};

// A launcher whose parent has ended (for instance one started from a finished launcher's
// environment) unpacks again, into a directory of its own.
TEST_P(Role, MarkerOfAnEndedLauncherLeavesAParent) {
    const fs::path& exe = packed_fixture(target());
    EnvRun first = run_env(target(), exe, {});
    ASSERT_EQ(first.result.status, 0) << first.result.err;
    const std::map<std::string, std::optional<std::string>> inherited = {
        {"VARNOK_ONEFILE_PARENT", first.values.at("VARNOK_ONEFILE_PARENT")},
        {"VARNOK_ONEFILE_TIME_US", first.values.at("VARNOK_ONEFILE_TIME_US")},
        {"VARNOK_ONEFILE_RANDOM", first.values.at("VARNOK_ONEFILE_RANDOM")},
    };
    EnvRun second = run_env(target(), exe, inherited);
    expect_parent_mode(target(), second, "");
    EXPECT_NE(second.values["VARNOK_ONEFILE_RANDOM"], first.values.at("VARNOK_ONEFILE_RANDOM"));
    EXPECT_NE(second.values["main"], first.values.at("main"));
}

TEST_P(Role, InheritedStartTimeAndRandomValuesAreReplaced) {
    EnvRun run = run_env(target(), packed_fixture(target()),
                               {{"VARNOK_ONEFILE_RANDOM", "injectedRandom"},
                                {"VARNOK_ONEFILE_TIME_US", "123"},
                                {"VARNOK_ONEFILE_START", "456"}});
    expect_parent_mode(target(), run, "");
    auto values = run.values;
    EXPECT_NE(values["VARNOK_ONEFILE_RANDOM"], "injectedRandom");
    EXPECT_FALSE(values["VARNOK_ONEFILE_RANDOM"].empty());
    EXPECT_NE(values["VARNOK_ONEFILE_TIME_US"], "123");
    EXPECT_TRUE(all_digits(values["VARNOK_ONEFILE_TIME_US"]));
    EXPECT_EQ(values["VARNOK_ONEFILE_START"], "<unset>");
    EXPECT_EQ(host_path(target(), values["main"]).parent_path().filename().string(),
              "onefile_" + values["VARNOK_ONEFILE_PARENT"] + "_" + values["VARNOK_ONEFILE_TIME_US"] + "_" +
                  values["VARNOK_ONEFILE_RANDOM"]);
}

// While a launcher runs, its marker and values make a process of the same executable its child,
// which runs the main binary from that launcher's target directory; the same marker means nothing
// to a copy of the executable at another path.
TEST_P(Role, OnlyALiveLauncherOfTheSameExecutableMakesAChild) {
    const fs::path& exe = packed_fixture(target());
    ScratchDir scratch;
    const fs::path other = scratch / "other.exe";
    fs::copy_file(exe, other);
    fs::permissions(other, fs::perms::owner_exec, fs::perm_options::add);

    RunOptions options = with_arguments({"env-wait"});
    options.keep_stdin_open = true;
    auto live = start(target(), exe, options);
    ASSERT_NE(live, nullptr);
    ASSERT_TRUE(live->wait_for_stdout("waiting", 30000)) << live->out_so_far();
    const auto live_values = key_values(live->out_so_far());
    const std::map<std::string, std::optional<std::string>> inherited = {
        {"VARNOK_ONEFILE_PARENT", live_values.at("VARNOK_ONEFILE_PARENT")},
        {"VARNOK_ONEFILE_TIME_US", live_values.at("VARNOK_ONEFILE_TIME_US")},
        {"VARNOK_ONEFILE_RANDOM", live_values.at("VARNOK_ONEFILE_RANDOM")},
    };

    EnvRun same = run_env(target(), exe, inherited);
    EXPECT_EQ(same.result.status, 0) << same.result.out << same.result.err;
    EXPECT_EQ(same.values["main"], live_values.at("main"));
    EXPECT_EQ(same.values["VARNOK_ONEFILE_PARENT"], live_values.at("VARNOK_ONEFILE_PARENT"));
    EXPECT_EQ(same.values["VARNOK_ONEFILE_RANDOM"], live_values.at("VARNOK_ONEFILE_RANDOM"));

    // The marker is read as the runtime reads a decimal number: leading blanks and a sign are
    // part of it, anything after the digits makes it no number at all. A blank or a sign does name
    // the live launcher, but such a marker must never become part of a directory name: the child
    // stops at once, silently, without running or creating anything.
    const std::string live_parent = live_values.at("VARNOK_ONEFILE_PARENT");
    for (const std::string& marker : {" " + live_parent, "+" + live_parent}) {
        SCOPED_TRACE("marker '" + marker + "'");
        auto spelled = inherited;
        spelled["VARNOK_ONEFILE_PARENT"] = marker;
        const auto before = target_directories(target());
        EnvRun stopped = run_env(target(), exe, spelled);
        EXPECT_NE(stopped.result.status, 0);
        EXPECT_NE(stopped.result.status, 2);
        EXPECT_EQ(stopped.result.out, "");
        EXPECT_EQ(stopped.result.err, "");
        EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
    }
    for (const std::string& marker : {live_parent + "x", live_parent + " ", live_parent + "0"}) {
        SCOPED_TRACE("marker '" + marker + "'");
        auto spelled = inherited;
        spelled["VARNOK_ONEFILE_PARENT"] = marker;
        EnvRun parent = run_env(target(), exe, spelled);
        expect_parent_mode(target(), parent, marker);
        EXPECT_NE(parent.values["main"], live_values.at("main"));
    }

    EnvRun copy = run_env(target(), other, inherited);
    expect_parent_mode(target(), copy, live_values.at("VARNOK_ONEFILE_PARENT"));
    EXPECT_NE(copy.values["main"], live_values.at("main"));
    EXPECT_NE(copy.values["VARNOK_ONEFILE_RANDOM"], live_values.at("VARNOK_ONEFILE_RANDOM"));

    if (target() == Target::Linux) {
        // A live process of another executable: this test program.
        EnvRun foreign = run_env(target(), exe,
                                       {{"VARNOK_ONEFILE_PARENT", std::to_string(getpid())},
                                        {"VARNOK_ONEFILE_TIME_US", live_values.at("VARNOK_ONEFILE_TIME_US")},
                                        {"VARNOK_ONEFILE_RANDOM", live_values.at("VARNOK_ONEFILE_RANDOM")}});
        expect_parent_mode(target(), foreign, std::to_string(getpid()));
        EXPECT_NE(foreign.values["main"], live_values.at("main"));
    }

    live->close_stdin();
    const RunResult ended = live->finish(30000);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_FALSE(fs::exists(host_path(target(), live_values.at("main")).parent_path()));
}

INSTANTIATE_TEST_SUITE_P(Targets, Role, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

}  // namespace
}  // namespace e2e
