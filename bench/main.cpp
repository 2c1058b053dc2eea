// cabinetbench: measures this project's code next to a reference doing the same work, side by
// side in one run, and prints one table with the ratio ours / reference:
//   - the system's BSON documents built and read with lib/bson and with libbson;
//   - stationtool's SNMP messages built and parsed with its codec and with net-snmp's library;
//   - callrelayd's relay latency and rate for 1 and 17 stations, next to relayfloor, the same
//     TCP-in, UDP-out path without any decoding;
//   - one `stationtool get` next to one `snmpget` of the same setting.
// The first two are Google Benchmark micro benchmarks; the others run the real programs inside
// private network and mount namespaces, which needs root.
//
// Usage: cabinetbench [--smoke] [--micro | --macro]
//   --smoke  a few iterations of everything: checks that the benchmarks work, measures nothing
//   --micro  the micro benchmarks only;  --macro  the whole-program ones only
#include <sys/utsname.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "macro.h"
#include "micro.h"
#include "runner.h"
#include "syslog_capture.h"
#include "table.h"

namespace {

constexpr int SKIPPED = 77;  // CTest's skip code, for a --macro run without root

// Keeps the time per iteration of every repetition of every benchmark, by name.
class Collector : public benchmark::BenchmarkReporter {
  public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            nanoseconds_[run.run_name.function_name].push_back(run.real_accumulated_time * 1e9 /
                                                               static_cast<double>(run.iterations));
        }
        fputc('.', stderr);
    }
    // The median over the repetitions of a benchmark.
    double median(const std::string& name) {
        std::vector<double>& values = nanoseconds_[name];
        std::sort(values.begin(), values.end());
        return quantile(values, 0.5);
    }

  private:
    std::map<std::string, std::vector<double>> nanoseconds_;
};

// Checks that both sides of every pair agree, then runs the pairs and adds their rows.
bool addMicroRows(Table& table, bool smoke) {
    std::vector<std::string> mismatches = bsonMismatches();
    for (const std::string& mismatch : snmpMismatches()) {
        mismatches.push_back(mismatch);
    }
    for (const std::string& mismatch : mismatches) {
        fprintf(stderr, "cabinetbench: %s\n", mismatch.c_str());
    }
    if (!mismatches.empty()) {
        return false;
    }
    std::vector<MicroPair> pairs = bsonPairs();
    for (MicroPair& pair : snmpPairs()) {
        pairs.push_back(std::move(pair));
    }
    for (const MicroPair& pair : pairs) {
        benchmark::RegisterBenchmark((pair.measurement + "/ours").c_str(), pair.ours);
        benchmark::RegisterBenchmark((pair.measurement + "/reference").c_str(), pair.theirs);
    }
    std::vector<std::string> flags = {"cabinetbench"};
    if (smoke) {
        flags.push_back("--benchmark_min_time=0.001");
    } else {
        // Repetitions in random order, so that a burst of other load on the machine falls on
        // both sides of a pair alike; the median of each is kept.
        flags.push_back("--benchmark_min_time=0.05");
        flags.push_back("--benchmark_repetitions=10");
        flags.push_back("--benchmark_enable_random_interleaving=true");
    }
    std::vector<char*> argv;
    for (std::string& flag : flags) {
        argv.push_back(flag.data());
    }
    int argc = static_cast<int>(argv.size());
    benchmark::Initialize(&argc, argv.data());
    Collector collector;
    fprintf(stderr, "micro benchmarks ");
    benchmark::RunSpecifiedBenchmarks(&collector);
    fprintf(stderr, "\n");
    benchmark::Shutdown();
    for (const MicroPair& pair : pairs) {
        table.add({pair.measurement, pair.reference, "ns",
                   collector.median(pair.measurement + "/ours"),
                   collector.median(pair.measurement + "/reference")});
    }
    return true;
}

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown CPU";
}

// The load average when the run began: on a shared machine, how noisy the numbers are.
std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void printMachine(const std::string& load) {
    utsname system{};
    uname(&system);
    char date[32];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
    printf("cabinetbench, %s\n", date);
    printf("machine: %s, %u cores, Linux %s, GCC %s, %s build\n", cpuModel().c_str(),
           std::thread::hardware_concurrency(), system.release, __VERSION__, CABINET_BUILD_TYPE);
    printf("load average at the start: %s\n\n", load.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    bool smoke = false;
    bool micro = true;
    bool macro = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--smoke") == 0) {
            smoke = true;
        } else if (strcmp(argv[i], "--micro") == 0) {
            macro = false;
        } else if (strcmp(argv[i], "--macro") == 0) {
            micro = false;
        } else {
            fprintf(stderr, "Usage: cabinetbench [--smoke] [--micro | --macro]\n");
            return 2;
        }
    }
    std::string load = loadAverage();
    Table table;
    if (micro && !addMicroRows(table, smoke)) {
        return 1;
    }
    std::string skipped;
    if (macro) {
        skipped = systest::enterPrivateNamespaces();
        if (!skipped.empty() && !micro) {
            fprintf(stderr, "cabinetbench: whole-program benchmarks skipped: %s\n",
                    skipped.c_str());
            return SKIPPED;
        }
    }
    if (macro && skipped.empty()) {
        MacroOptions options = smoke ? MacroOptions{50, 1, 2} : MacroOptions{2000, 5, 30};
        try {
            systest::SyslogCapture syslog;  // callrelayd logs every event; keep it private
            fprintf(stderr, "relay: callrelayd and the floor, %d rounds\n", options.rounds);
            addRelayRows(table, options);
            fprintf(stderr, "station get: stationtool and snmpget, %d runs each\n",
                    options.toolRuns);
            addToolRows(table, options);
        } catch (const std::exception& error) {
            fprintf(stderr, "cabinetbench: %s\n", error.what());
            return 1;
        }
    }
    printMachine(load);
    table.print();
    printf(
        "\nratio = ours / reference: below 1 ours is faster, except for events/s (higher is "
        "faster).\n");
    if (!skipped.empty()) {
        printf("whole-program rows skipped: %s\n", skipped.c_str());
    }
    return 0;
}
