// The simulated cabinet, run once as CI runs it: the scripted demo with the real callrelayd and
// paneld of this build, its summary read back, and nothing of it left behind afterwards.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "harness.h"

namespace systest {
namespace {

namespace fs = std::filesystem;

std::string binDirectory() {
    return fs::path(program("callrelayd")).parent_path().string();
}

std::string pidFile() {
    return (fs::path(binDirectory()).parent_path() / "cabinet.pid").string();
}

// The namespaces a process lives in, as the kernel names them ("net:[4026532281]").
std::set<std::string> namespacesOf(pid_t pid) {
    std::set<std::string> ids;
    for (const char* kind : {"net", "mnt", "pid"}) {
        char link[PATH_MAX];
        std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
        ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n > 0) {
            ids.insert(std::string(link, static_cast<size_t>(n)));
        }
    }
    return ids;
}

// Every process that still lives in one of `ids`.
std::vector<pid_t> processesIn(const std::set<std::string>& ids) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        pid_t pid = static_cast<pid_t>(std::stol(name));
        for (const std::string& id : namespacesOf(pid)) {
            if (ids.count(id)) {
                found.push_back(pid);
                break;
            }
        }
    }
    return found;
}

// The numbers of the summary's "all" row: presses, calls, downs/ups sent and at the CID,
// configuration requests/pushes.
std::vector<int> totals(const std::string& summary) {
    std::smatch match;
    std::regex row(R"(\n\s+all\s+(\d+)\s+(\d+)\s+(\d+)/(\d+)\s+(\d+)/(\d+)\s+(\d+)/(\d+))");
    if (!std::regex_search(summary, match, row)) {
        return {};
    }
    std::vector<int> numbers;
    for (size_t i = 1; i < match.size(); ++i) {
        numbers.push_back(std::stoi(match[i].str()));
    }
    return numbers;
}

class CabinetTest : public SystemTest {};

TEST_F(CabinetTest, ScriptedDemoTurnsEveryPressIntoACallAndLeavesNothingBehind) {
    if (access("/usr/sbin/snmpd", X_OK) != 0 || access(program("cidsim").c_str(), X_OK) != 0 ||
        access(program("boardsim").c_str(), X_OK) != 0 || access("/dev/fuse", R_OK) != 0) {
        GTEST_SKIP() << "the demo needs snmpd, FUSE and the simulators";
    }
    if (std::string reason = i2cUnavailableReason(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    std::string mountsBefore = readFile("/proc/self/mountinfo");
    pid_t stale = static_cast<pid_t>(std::atol(readFile(pidFile()).c_str()));
    if (stale > 0 && kill(stale, 0) < 0) {
        unlink(pidFile().c_str());  // left by a cabinet that was killed outright
    }

    Process demo({"/usr/bin/python3", source("sim/cabinet"), "demo", "--duration", "20", "--bin",
                  binDirectory()});

    // The pid file names the cabinet's init while it runs: note its namespaces.
    pid_t init = 0;
    for (int i = 0; i < 300 && init == 0 && demo.running(); ++i) {
        init = static_cast<pid_t>(std::atol(readFile(pidFile()).c_str()));
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_GT(init, 0) << demo.err();
    std::set<std::string> ids = namespacesOf(init);
    EXPECT_EQ(ids.size(), 3u);
    for (const std::string& id : namespacesOf(getpid())) {
        EXPECT_EQ(ids.count(id), 0u) << "the cabinet shares " << id << " with its caller";
    }

    Result result = demo.wait(120s);
    ASSERT_FALSE(result.timedOut) << result.out << result.err;
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("result: PASS, every press became a call"), std::string::npos)
        << result.out;

    std::vector<int> all = totals(result.out);
    ASSERT_EQ(all.size(), 8u) << result.out;
    EXPECT_GT(all[0], 20) << "presses";
    EXPECT_EQ(all[1], all[0]) << "calls at the CID";
    EXPECT_EQ(all[2], all[4]) << "button downs sent and relayed";
    EXPECT_EQ(all[3], all[5]) << "button ups sent and relayed";
    EXPECT_EQ(all[6], 8) << "one configuration request per station";
    EXPECT_EQ(all[7], 8) << "one configuration push per station";

    // paneld drew every page as the button was tapped, and the station agents answered.
    EXPECT_NE(result.out.find("pages seen: Station Sig Calls"), std::string::npos) << result.out;
    // The CID reports the sample's eight configured stations good, and no other.
    EXPECT_NE(result.out.find("none): ++++++++........\n"), std::string::npos) << result.out;
    std::smatch frames;
    ASSERT_TRUE(std::regex_search(result.out, frames, std::regex(R"(display frames: (\d+))")));
    EXPECT_GE(std::stoi(frames[1].str()), 15);
    EXPECT_TRUE(std::regex_search(result.out,
                                  std::regex(R"(stationtool 3 get vol_max: .*90.*\(status 0\))")))
        << result.out;
    std::smatch polls;
    ASSERT_TRUE(std::regex_search(result.out, polls, std::regex(R"(sigstat polls: (\d+))")));
    EXPECT_GE(std::stoi(polls[1].str()), 15);

    // Nothing left behind: no process in its namespaces, no mount here, no pid file.
    EXPECT_EQ(kill(init, 0), -1);
    EXPECT_TRUE(processesIn(ids).empty());
    EXPECT_EQ(readFile("/proc/self/mountinfo"), mountsBefore);
    EXPECT_FALSE(fs::exists(pidFile()));
}

TEST_F(CabinetTest, ExecWithoutARunningCabinetSaysSo) {
    // A build directory of its own (on the test's private /tmp), so no pid file is there.
    Result result = run({"/usr/bin/python3", source("sim/cabinet"), "exec", "--bin",
                         "/tmp/nothing/bin", "sigstat", "--xml"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("no cabinet is running"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace systest
