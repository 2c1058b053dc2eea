// One station setting read by a whole run of stationtool, next to a whole run of net-snmp's
// snmpget for the same object: both against the same agent (sim/snmp/station-agent, Debian's
// snmpd) of station 3, in turns, each run timed from its start to its exit.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <stdexcept>

#include "macro.h"
#include "runner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono_literals::operator""s;

const std::string DATABASE = "/var/lib/vok/config.db";
const std::string OUTPUT = "/tmp/tool.out";

// Runs a program with its output in OUTPUT; its wall time in milliseconds. Throws when it
// cannot be started or does not exit 0.
double timedRun(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, OUTPUT.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    Clock::time_point start = Clock::now();
    pid_t pid = -1;
    int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (error != 0 || waitpid(pid, &status, 0) != pid) {
        throw std::runtime_error("cannot run " + argv[0]);
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(argv[0] + " failed:\n" + systest::readFile(OUTPUT));
    }
    return ms;
}

// Runs the program once and checks that its output shows `expected`.
void expectOutput(const std::vector<std::string>& argv, const std::string& expected) {
    timedRun(argv);
    std::string out = systest::readFile(OUTPUT);
    if (out.find(expected) == std::string::npos) {
        throw std::runtime_error(argv[0] + " did not print \"" + expected + "\":\n" + out);
    }
}

}  // namespace

void addToolRows(Table& table, const MacroOptions& options) {
    systest::mountTmpfs("/var/lib/snmp");  // net-snmp's state files stay private
    systest::mountTmpfs("/var/lib/vok");
    systest::createSampleDatabase(DATABASE);
    systest::Process agent(
        {systest::source("sim/snmp/station-agent"), "3", DATABASE, "/tmp/station-agent.3"});
    if (!agent.waitForOut("NET-SNMP version", 10s)) {
        throw std::runtime_error("the station agent did not start: " + agent.err());
    }
    const std::vector<std::string> stationtool{systest::program("stationtool"), "3", "get",
                                               "vol_max"};
    const std::vector<std::string> snmpget{
        "/usr/bin/snmpget", "-v1", "-c", "mosaic", "192.168.0.13", "1.3.6.1.4.1.1206.4.2.14.1.2"};
    // The sample gives station 3 a vol_max of 90. The first runs also start the agent's handler.
    expectOutput(stationtool, "Value: 90\n");
    expectOutput(snmpget, "INTEGER: 90");
    std::vector<double> ours;
    std::vector<double> theirs;
    for (int i = 0; i < options.toolRuns; ++i) {
        ours.push_back(timedRun(stationtool));
        theirs.push_back(timedRun(snmpget));
    }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    table.add({"station get, whole run: median", "snmpget", "ms", quantile(ours, 0.5),
               quantile(theirs, 0.5)});
    agent.stop();
}
