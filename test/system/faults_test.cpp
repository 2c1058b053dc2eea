// callrelayd under the faults of years unattended in the field, one row per fault: the real
// binary in private namespaces, the fault injected by the test, and what must hold then for the
// calls, the children and the log.
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "callrelayd_fixture.h"
#include "descriptors.h"

namespace systest {
namespace {

// Programs in an emulator or built with the sanitizers run several times slower: the limits of
// the acceptance hold for the native build, wider ones for those.
#ifdef __SANITIZE_ADDRESS__
const bool SLOW = true;
#else
const bool SLOW = programsEmulated();
#endif
// The acceptance's "at once" for a call, and its "a moment".
const Millis PROMPT = SLOW ? 500ms : 100ms;
const Millis MOMENT = SLOW ? 3s : 500ms;

// Station n's address gone from the namespace: nothing sent to it arrives, nothing answers.
void removeStationAddress(int station) {
    Socket sock(socket(AF_INET, SOCK_DGRAM, 0));
    ifreq request{};
    snprintf(request.ifr_name, IFNAMSIZ, "lo:%d", station);
    ASSERT_EQ(ioctl(sock.fd(), SIOCGIFFLAGS, &request), 0);
    request.ifr_flags &= ~IFF_UP;  // for an alias, this deletes its address
    ASSERT_EQ(ioctl(sock.fd(), SIOCSIFFLAGS, &request), 0);
}

// A process-count cgroup of the test's own (v1 or v2); the processes in it when it goes are
// killed.
class PidsCgroup {
  public:
    PidsCgroup() {
        for (const char* root : {"/sys/fs/cgroup/pids", "/sys/fs/cgroup"}) {
            std::string path = std::string(root) + "/cabinet-faults-" + std::to_string(getpid());
            if (mkdir(path.c_str(), 0755) == 0 && access((path + "/pids.max").c_str(), F_OK) == 0) {
                path_ = path;
                return;
            }
            rmdir(path.c_str());
        }
    }
    ~PidsCgroup() {
        if (path_.empty()) {
            return;
        }
        eventually([&] {
            std::istringstream pids(readFile(path_ + "/cgroup.procs"));
            for (pid_t pid; pids >> pid;) {
                kill(pid, SIGKILL);
            }
            return rmdir(path_.c_str()) == 0;
        });
    }
    bool usable() const { return !path_.empty(); }
    void add(pid_t pid) { writeFile(path_ + "/cgroup.procs", std::to_string(pid)); }
    // No more processes than are in it now (or any number again).
    void freeze(bool frozen) {
        std::string now = readFile(path_ + "/pids.current");
        writeFile(path_ + "/pids.max", frozen ? now : "max");
    }

  private:
    std::string path_;
};

class FaultTest;

struct Fault {
    const char* name;
    void (FaultTest::*run)();
};

void PrintTo(const Fault& fault, std::ostream* out) {
    *out << fault.name;
}

class FaultTest : public CallrelaydTest, public testing::WithParamInterface<Fault> {
  public:
    // A pedestrian call of `sid` on `station`: the time until its command reached the CID, or
    // nullopt when none did within `limit`.
    static std::optional<Millis> press(const Socket& station, int sid, UdpPeer& cid,
                                       Millis limit = 5s) {
        auto sent = Clock::now();
        station.sendAll(event(sid, 4));
        auto datagram = cid.receive(limit);
        if (!datagram || *datagram != intDocument({{"t", 2}, {"sid", sid}})) {
            return std::nullopt;
        }
        return std::chrono::duration_cast<Millis>(Clock::now() - sent);
    }

    pid_t daemonPid() const { return daemon_->pid(); }
    size_t children() const { return childrenOf(daemon_->pid()).size(); }
    // The daemon's one child, or 0 when it has none or more (never a pid to signal).
    pid_t onlyChild() const {
        auto all = childrenOf(daemon_->pid());
        return all.size() == 1 ? all.begin()->first : 0;
    }
    // Every call arrived within a second, and all but one in twenty at once (a loaded two-core
    // machine holds any process up for longer now and then).
    static void expectPrompt(std::vector<Millis> delays) {
        ASSERT_FALSE(delays.empty());
        std::sort(delays.begin(), delays.end());
        EXPECT_LE(delays[(delays.size() * 19 + 19) / 20 - 1], PROMPT) << "95th percentile";
        EXPECT_LE(delays.back(), SLOW ? 5s : 1s) << "slowest";
    }

    // The command of the n-th event a test's station sends: the types cycle, so that the CID
    // sees whether the station's order was kept.
    static int32_t typeOf(size_t n) { return std::array{1, 4, 2, 5}[n % 4]; }
    static Bytes commandOf(int sid, size_t n) {
        return intDocument({{"t", std::array{8, 2, 9, 3}[n % 4]}, {"sid", sid}});
    }

    // Everything the CID has received by now, appended to `arrived`.
    static void collect(UdpPeer& cid, std::vector<Bytes>& arrived, Millis wait = 0ms) {
        while (auto datagram = cid.receive(wait)) {
            arrived.push_back(*datagram);
        }
    }

    void cidRestarts() {
        auto cid = std::make_unique<UdpPeer>("127.0.0.1", 5000);
        startDaemon();
        Socket station = connectStation(2);
        std::vector<Bytes> sent;
        std::vector<Bytes> arrived;
        auto pressFor = [&](Millis span) {
            for (auto end = Clock::now() + span; Clock::now() < end;) {
                station.sendAll(event(2, typeOf(sent.size())));
                sent.push_back(commandOf(2, sent.size()));
                std::this_thread::sleep_for(100ms);
                if (cid) {
                    collect(*cid, arrived);
                }
            }
        };
        for (int outage = 0; outage < 5; ++outage) {
            pressFor(1s);
            // Stopped only once it has everything sent so far, as a CID that is not lost.
            ASSERT_TRUE(eventually([&] { return collect(*cid, arrived), arrived == sent; }));
            cid.reset();
            pressFor(2s);
            cid = std::make_unique<UdpPeer>("127.0.0.1", 5000);
            auto back = Clock::now();
            EXPECT_TRUE(eventually([&] { return collect(*cid, arrived, 10ms), arrived == sent; },
                                   PROMPT * 5))
                << "outage " << outage << ": " << arrived.size() << " of " << sent.size();
            EXPECT_LE(Clock::now() - back, SLOW ? 3s : 500ms) << "outage " << outage;
        }
        EXPECT_EQ(arrived, sent) << "lost or out of the station's order";
        std::string err = daemon_->err();
        EXPECT_EQ(occurrences(err, "]CID refused a command; holding commands until"), 5u);
        EXPECT_EQ(occurrences(err, "]Delivered "), 5u);
        EXPECT_EQ(occurrences(err, "Problem sending command to CID"), 0u);
        EXPECT_EQ(occurrences(err, "dropped"), 0u);
    }

    // One station presses every 100 ms, more than the child holds; another presses once, and
    // its command grows too old.
    void cidDownPastTheHoldLimits() {
        startDaemon();
        Socket busy = connectStation(1);
        ASSERT_TRUE(eventually([&] { return childPids(daemon_->err()).size() == 1; }));
        Socket once = connectStation(2);
        std::vector<Bytes> sent;
        once.sendAll(event(2, 4));
        long memoryAtFirst = 0;
        for (auto end = Clock::now() + 70s; Clock::now() < end;) {
            busy.sendAll(event(1, typeOf(sent.size())));
            sent.push_back(commandOf(1, sent.size()));
            std::this_thread::sleep_for(100ms);
            if (sent.size() == 100) {
                memoryAtFirst = residentKiB(childPids(daemon_->err()).at(0));
            }
        }
        long memoryAtLast = residentKiB(childPids(daemon_->err()).at(0));
        UdpPeer cid("127.0.0.1", 5000);
        std::vector<Bytes> arrived;
        collect(cid, arrived, 1s);
        std::vector<Bytes> newest(sent.end() - 64, sent.end());
        EXPECT_EQ(arrived, newest) << "the newest 64, in order, and nothing of the other station";
        EXPECT_TRUE(daemon_->waitForErr("]" + std::to_string(sent.size() - 64) +
                                        " held commands dropped\n"));
        EXPECT_TRUE(daemon_->waitForErr("]1 held commands dropped\n"));
        EXPECT_LE(memoryAtLast, memoryAtFirst + 8) << "KiB resident";
    }

    // While the CID is down a station connects anew five times and presses once on each
    // connection: no more than three children keep its presses; the two oldest give theirs up.
    void reconnectsWhileTheCidIsDown() {
        startDaemon();
        std::vector<Socket> connections;
        for (size_t i = 1; i <= 5; ++i) {
            connections.push_back(connectStation(3));
            connections.back().sendAll(event(3, 4));
            ASSERT_TRUE(eventually(
                [&] { return occurrences(daemon_->err(), "]CID refused a command;") == i; }));
            EXPECT_TRUE(eventually([&] { return children() <= 3; })) << "connection " << i;
        }
        UdpPeer cid("127.0.0.1", 5000);
        std::vector<Bytes> arrived;
        collect(cid, arrived, 1s);
        EXPECT_EQ(arrived, std::vector<Bytes>(3, commandOf(3, 1)));
        EXPECT_EQ(occurrences(daemon_->err(), "]1 held commands dropped\n"), 2u);
    }

    static long residentKiB(pid_t pid) {
        std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
        size_t at = status.find("VmRSS:");
        return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
    }

    // The old connection goes on sending a call every 100 ms after the station has connected anew.
    void replacedStationKeepsSending() {
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket old = connectStation(3);
        ASSERT_TRUE(press(old, 3, cid));
        Socket renewed = connectStation(3);
        auto reconnect = Clock::now();
        ASSERT_TRUE(eventually([&] { return childPids(daemon_->err()).size() == 2; }));
        size_t sentInTheSecond = 0;
        size_t mostChildren = 0;
        std::optional<Millis> alone;
        std::vector<Bytes> arrived;
        while (Clock::now() - reconnect < 10s) {
            Bytes call = event(3, 4);
            send(old.fd(), call.data(), call.size(), MSG_NOSIGNAL);  // refused once it is gone
            sentInTheSecond += Clock::now() - reconnect < 900ms;
            collect(cid, arrived, 100ms);
            mostChildren = std::max(mostChildren, children());
            if (!alone && children() == 1) {
                alone = std::chrono::duration_cast<Millis>(Clock::now() - reconnect);
            }
        }
        EXPECT_GE(arrived.size(), sentInTheSecond) << "calls of the first second lost";
        EXPECT_LE(mostChildren, 2u);
        ASSERT_TRUE(alone) << "the old child never ended";
        EXPECT_LE(*alone, SLOW ? 3s : 1500ms);
        EXPECT_TRUE(press(renewed, 3, cid)) << "the new connection is served";
    }

    void acceptAtTheDescriptorLimit() {
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        // Not one descriptor more for the parent; then 100 stations' connects come in.
        pid_t parent = daemonPid();
        rlimit before{};
        ASSERT_EQ(prlimit(parent, RLIMIT_NOFILE, nullptr, &before), 0);
        rlimit full{static_cast<rlim_t>(openDescriptors(parent)), before.rlim_max};
        ASSERT_EQ(prlimit(parent, RLIMIT_NOFILE, &full, nullptr), 0);
        std::vector<Socket> waiting;
        for (int i = 0; i < 100; ++i) {
            waiting.push_back(beginConnect(stationIp(i % 17)));
        }
        long cpuBefore = cpuTicks(parent);
        std::this_thread::sleep_for(10s);
        double share = static_cast<double>(cpuTicks(parent) - cpuBefore) /
                       static_cast<double>(sysconf(_SC_CLK_TCK)) / 10.0;
        EXPECT_LT(share, 0.05) << "of a core";
        size_t lines = occurrences(daemon_->err(), "]Error accepting connection-");
        EXPECT_GE(lines, 1u);
        EXPECT_LE(lines, 11u);
        ASSERT_EQ(prlimit(parent, RLIMIT_NOFILE, &before, nullptr), 0);
        waiting.clear();
        Socket station = connectStation(5);
        EXPECT_TRUE(press(station, 5, cid, 5s)) << "served again once descriptors are free";
    }

    // User and system time of `pid`, in clock ticks.
    static long cpuTicks(pid_t pid) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        long user = 0;
        long system = 0;
        sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c%*d%*d%*d%*d%*d%*u%*u%*u%*u%*u%ld%ld",
               &user, &system);
        return user + system;
    }

    void syslogReaderStalls() {
        syslogMayDrop_ = true;
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket first = connectStation(1);
        ASSERT_TRUE(press(first, 1, cid));
        syslog_->stall();
        // The parent drops a line of its own before the child forks: the child's count is its own.
        Socket refused = beginConnect("127.0.0.2");
        ASSERT_TRUE(daemon_->waitForErr(", not a station\n"));
        Socket later = connectStation(2);  // its child starts while the log is stalled
        std::vector<Millis> delays;
        for (int i = 0; i < 20; ++i) {
            auto delay = i % 2 ? press(later, 2, cid) : press(first, 1, cid);
            ASSERT_TRUE(delay) << "press " << i;
            delays.push_back(*delay);
            std::this_thread::sleep_for(500ms);
        }
        expectPrompt(delays);
        // Reading again, syslog first gets the count of the lines each process missed, then
        // the lines: with its counts, each child's lines in syslog are all its lines.
        syslog_->resume();
        ASSERT_TRUE(press(first, 1, cid));
        ASSERT_TRUE(press(later, 2, cid));
        ASSERT_TRUE(syslog_->find(" log lines dropped"));
        const std::regex note(R"(\]([0-9]+) log lines dropped$)");
        auto accounted = [&](pid_t pid) {
            size_t count = 0;
            for (const SyslogLine& line : syslog_->lines()) {
                std::smatch match;
                bool isNote = std::regex_search(line.text, match, note);
                count += line.pid != pid ? 0 : isNote ? std::stoul(match[1]) : 1;
            }
            return count;
        };
        for (pid_t child : childPids(daemon_->err())) {
            EXPECT_TRUE(eventually([&] {
                return accounted(child) == linesOf(daemon_->err(), child).size();
            })) << "child "
                << child << ": " << accounted(child) << " lines accounted for";
        }
    }

    void standardErrorPipeUnread() {
        const std::string fifo = "/tmp/stderr.fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        Socket reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_GE(fcntl(reader.fd(), F_SETPIPE_SZ, 4096), 0);
        syslogMayDrop_ = true;
        UdpPeer cid("127.0.0.1", 5000);
        int big = 16 << 20;
        setsockopt(cid.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        startDaemon({"/bin/sh", "-c", "exec " + program("callrelayd") + " 2>" + fifo});
        Socket station = connectStation(3);
        for (int i = 0; i < 2000; ++i) {
            station.sendAll(event(3, 4));
        }
        int arrived = 0;
        while (arrived < 2000 && cid.receive(2s)) {
            ++arrived;
        }
        EXPECT_EQ(arrived, 2000);
        // Once the pipe is read again, the next line comes after the count of those dropped.
        char scratch[4096];
        while (read(reader.fd(), scratch, sizeof scratch) > 0) {
        }
        ASSERT_TRUE(press(station, 3, cid));
        std::string err;
        EXPECT_TRUE(eventually([&] {
            ssize_t n = read(reader.fd(), scratch, sizeof scratch);
            err.append(scratch, static_cast<size_t>(std::max<ssize_t>(n, 0)));
            return err.find("]Ped Call\n") != npos;
        }));
        EXPECT_TRUE(std::regex_search(err, std::regex(R"(\][0-9]+ log lines dropped\n.*Ped Call)")))
            << err;
    }

    void halfOpenReconnects() {
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket station = connectStation(4);
        for (int reconnect = 0;; ++reconnect) {
            ASSERT_TRUE(press(station, 4, cid)) << "after reconnect " << reconnect;
            EXPECT_TRUE(eventually([&] { return children() == 1; }, SLOW ? 5s : 2s))
                << children() << " children two seconds after reconnect " << reconnect;
            if (reconnect == 10) {
                break;
            }
            // The station loses power: its end goes without a FIN or a reset, and it connects
            // anew when it is back.
            int repair = 1;
            ASSERT_EQ(setsockopt(station.fd(), IPPROTO_TCP, TCP_REPAIR, &repair, sizeof repair), 0);
            station = connectStation(4);
        }
        EXPECT_EQ(occurrences(daemon_->err(), "]Station reconnected\n"), 10u);
    }

    void vanishedStations() {
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        std::vector<Socket> stations;
        for (int s : {1, 2, 3}) {
            stations.push_back(connectStation(s));
            ASSERT_TRUE(press(stations.back(), s, cid));
        }
        for (int s : {1, 2, 3}) {
            removeStationAddress(s);
        }
        auto lost = Clock::now();
        EXPECT_TRUE(eventually([&] { return children() == 0; }, 150s));
        EXPECT_LE(Clock::now() - lost, 120s) << "a vanished station found after two minutes";
        EXPECT_EQ(occurrences(daemon_->err(), "]Invalid event received\n"), 3u);
    }

    void connectionFlood() {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        std::vector<Socket> stations;
        for (int s = 0; s < 3; ++s) {
            stations.push_back(connectStation(s));
        }
        // 500 connections from addresses no station has and 200 from stations 3 to 16, held
        // open, as fast as the listen backlog lets them in; the first three stations press.
        std::vector<Socket> foreign;
        std::vector<Socket> fromStations;
        auto accepted = [&] {
            return closedByPeer(foreign) + occurrences(daemon_->err(), "]Child started\n");
        };
        auto start = Clock::now();
        int round = 0;
        Clock::duration longestCrowd{};
        std::vector<Millis> rounds;
        for (int i = 0; i < 700; ++i) {
            // Three stations and at most three of the flood waiting for their accept.
            size_t begun = foreign.size() + fromStations.size();
            ASSERT_TRUE(eventually([&] { return accepted() >= begun; }));
            if (i % 7 >= 5) {
                fromStations.push_back(beginConnect(stationIp(3 + fromStations.size() % 14)));
                // A replaced child drains its connection for a second, one replaced twice stops
                // at once: more than two per station only while that one ends.
                auto since = Clock::now();
                eventually([&] { return children() <= 34; });
                longestCrowd = std::max(longestCrowd, Clock::now() - since);
            } else {
                foreign.push_back(beginConnect("127.0." + std::to_string(i / 200) + "." +
                                               std::to_string(2 + i % 200)));
            }
            if (i % 10 == 9) {
                ASSERT_TRUE(allConnected(fromStations, 5s));
                auto sent = Clock::now();
                ASSERT_TRUE(everyStationRelayed(stations, cid, round++, 1s));
                rounds.push_back(std::chrono::duration_cast<Millis>(Clock::now() - sent));
            }
        }
        expectPrompt(rounds);
        EXPECT_LT(longestCrowd, MOMENT) << "more than two children per station";
        EXPECT_TRUE(eventually([&] { return accepted() == 703 && children() == 17; }))
            << accepted() << " accepted, " << children() << " children";
        EXPECT_EQ(occurrences(daemon_->err(), "]Child started\n"), 203u);
        // Their warnings come at most one a second.
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
        EXPECT_LE(occurrences(daemon_->err(), ", not a station"),
                  static_cast<size_t>(seconds.count()) + 1);
    }

    void forkFails() {
        PidsCgroup group;
        if (!group.usable()) {
            GTEST_SKIP() << "no pids cgroup can be made here to limit the daemon's processes";
        }
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        group.add(daemonPid());
        Socket served = connectStation(0);
        ASSERT_TRUE(press(served, 0, cid));
        group.freeze(true);
        Socket refused = connectStation(1);
        EXPECT_TRUE(refused.waitClosed(2s)) << "the connection without a child is closed";
        EXPECT_TRUE(daemon_->running());
        EXPECT_TRUE(press(served, 0, cid));
        group.freeze(false);
        Socket again = connectStation(1);
        EXPECT_TRUE(press(again, 1, cid)) << "the station connecting again is served";
    }

    void pushToStationDroppingSyns() {
        makeDatabase();
        // Its one place of accept queue taken, the listener's kernel drops every further SYN.
        TcpListener config(stationIp(5), CONFIG_PORT, 0);
        auto filler = tcpConnect("127.0.0.1", stationIp(5), CONFIG_PORT);
        ASSERT_TRUE(filler);
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket station = connectStation(5);
        station.sendAll(event(5, 3));
        auto delay = press(station, 5, cid, 5s);
        ASSERT_TRUE(delay);
        EXPECT_LE(*delay, SLOW ? 10s : 3s);
        std::vector<std::string> expected = {"Child started", "Sending config",
                                             "Unable to connect-Connection timed out",
                                             "Unable to connect to APB", "Ped Call"};
        EXPECT_TRUE(eventually([&] { return childLines(0) == expected; })) << daemon_->err();
    }

    void badContentIsSkipped() {
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket station = connectStation(6);
        Bytes doubleSid = {0, 0, 0, 0, 0x01, 's', 'i', 'd', 0, 0, 0, 0, 0, 0, 0, 0x18, 0x40};
        appendInt(doubleSid, "e", 4);
        for (const Bytes& bad :
             {event(6, 6), finishDocument(doubleSid), event(3, 4), intDocument({{"sid", 6}})}) {
            station.sendAll(bad);
        }
        EXPECT_TRUE(press(station, 6, cid)) << "the call right behind them";
        const std::string skipped = "Error desierializing bson document";
        std::vector<std::string> expected = {
            "Child started", skipped,
            skipped,         "Event of station 3 on the connection of station 6 skipped",
            skipped,         "Ped Call"};
        EXPECT_TRUE(eventually([&] { return childLines(0).size() == expected.size(); }));
        EXPECT_EQ(childLines(0), expected);
    }

    void databaseLockedByAWriter() {
        makeDatabase();
        TcpListener config(stationIp(7), CONFIG_PORT);
        startDaemon();
        Socket station = connectStation(7);
        Bytes expected = expectedConfig(7);
        auto pushed = [&] {
            auto push = config.accept(3s);
            return push && push->receiveExact(expected.size(), 2s) == expected;
        };
        // A lock held for half a second.
        Process locker({"/usr/bin/sqlite3", DATABASE},
                       "BEGIN EXCLUSIVE;\n.shell touch /tmp/locked\n.shell sleep 0.5\nCOMMIT;\n");
        ASSERT_TRUE(eventually([] { return access("/tmp/locked", F_OK) == 0; }));
        station.sendAll(event(7, 3));
        EXPECT_TRUE(pushed());
        EXPECT_EQ(locker.wait().status, 0);
        // A writer that commits one row after another all the time.
        run({"/usr/bin/sqlite3", DATABASE, "CREATE TABLE churn(n)"});
        Process writer(
            {"/bin/sh", "-c",
             "yes 'INSERT INTO churn VALUES (1);' | /usr/bin/sqlite3 " + std::string(DATABASE)});
        std::this_thread::sleep_for(200ms);
        int arrived = 0;
        for (int i = 0; i < 100; ++i) {
            station.sendAll(event(7, 3));
            arrived += pushed();
        }
        EXPECT_TRUE(writer.running()) << "the writer ran all the while";
        EXPECT_GE(arrived, 98);
        EXPECT_EQ(daemon_->err().find("Config not found"), npos);
    }

    void writerDiesMidTransaction() {
        makeDatabase();
        TcpListener config(stationIp(8), CONFIG_PORT);
        Bytes expected = expectedConfig(8);
        // Killed inside a transaction too large for its cache, the writer leaves changed pages in
        // the database and their old contents in a hot journal.
        run({"/usr/bin/sqlite3", DATABASE},
            "PRAGMA cache_size = 2;\nBEGIN;\nUPDATE tbl_apbsettings SET vol_max = vol_max + 1;\n"
            "CREATE TABLE filler(b);\nWITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
            "FROM n WHERE i < 200) INSERT INTO filler SELECT randomblob(1000) FROM n;\n"
            ".shell kill -9 $PPID\n");
        const std::string journal = std::string(DATABASE) + "-journal";
        ASSERT_EQ(access(journal.c_str(), F_OK), 0) << "no journal left behind";
        startDaemon(confinedAsByItsUnit());
        Socket station = connectStation(8);
        station.sendAll(event(8, 3));
        auto push = config.accept(3s);
        ASSERT_TRUE(push) << daemon_->err();
        EXPECT_EQ(push->receiveExact(expected.size(), 2s), expected) << "not rolled back";
        EXPECT_NE(access(journal.c_str(), F_OK), 0);
    }

    // The daemon confined as its installed unit confines it, as far as the database goes: the
    // user it runs as, no capability, and /var/lib/vok read-only (ProtectSystem=strict) unless
    // the unit makes it writable.
    std::vector<std::string> confinedAsByItsUnit() {
        std::string unit = readFile(source("callrelayd/callrelayd.service.in"));
        if (unit.find("\nReadWritePaths=/var/lib/vok\n") == npos) {
            EXPECT_EQ(mount(nullptr, "/var/lib/vok", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        }
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--bounding-set=-all",
                                         "--inh-caps=-all", "--no-new-privs"};
        if (unit.find("\nDynamicUser=yes\n") != npos) {
            syslogMayDrop_ = true;  // /dev/log of the test is root's
            argv.insert(argv.end(), {"--reuid=61234", "--regid=61234", "--clear-groups"});
        }
        argv.push_back(program("callrelayd"));
        return argv;
    }

    void normalClose() {
        // The daemon's children become the test's once their parent is gone, so that the test
        // sees how a child exits (where it can be a subreaper: not under qemu-user).
        bool seesExit = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket station = connectStation(9);
        ASSERT_TRUE(press(station, 9, cid));
        pid_t child = onlyChild();
        ASSERT_GT(child, 0);
        if (seesExit) {
            kill(daemonPid(), SIGKILL);
            ASSERT_TRUE(eventually([&] { return childrenOf(getpid()).count(child) == 1; }));
        }
        station = Socket();
        if (seesExit) {
            int status = -1;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        std::vector<std::string> expected = {"Child started", "Ped Call", "Station disconnected"};
        EXPECT_TRUE(eventually([&] { return childLines(0) == expected; })) << daemon_->err();
    }

    void sighupIsIgnored() {
        UdpPeer cid("127.0.0.1", 5000);
        startDaemon();
        Socket station = connectStation(10);
        ASSERT_TRUE(press(station, 10, cid));
        pid_t child = onlyChild();
        ASSERT_GT(child, 0);
        kill(daemonPid(), SIGHUP);
        kill(child, SIGHUP);
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(daemon_->running());
        EXPECT_TRUE(press(station, 10, cid)) << "the child is gone";
        Socket other = connectStation(11);
        EXPECT_TRUE(press(other, 11, cid)) << "the parent does not accept";
    }

  private:
    static constexpr size_t npos = std::string::npos;
};

const Fault faults[] = {
    {"CidRestarts", &FaultTest::cidRestarts},
    {"CidDownPastTheHoldLimits", &FaultTest::cidDownPastTheHoldLimits},
    {"ReplacedStationKeepsSending", &FaultTest::replacedStationKeepsSending},
    {"ReconnectsWhileTheCidIsDown", &FaultTest::reconnectsWhileTheCidIsDown},
    {"AcceptAtTheDescriptorLimit", &FaultTest::acceptAtTheDescriptorLimit},
    {"SyslogReaderStalls", &FaultTest::syslogReaderStalls},
    {"StandardErrorPipeUnread", &FaultTest::standardErrorPipeUnread},
    {"HalfOpenReconnects", &FaultTest::halfOpenReconnects},
    {"VanishedStations", &FaultTest::vanishedStations},
    {"ConnectionFlood", &FaultTest::connectionFlood},
    {"ForkFails", &FaultTest::forkFails},
    {"PushToStationDroppingSyns", &FaultTest::pushToStationDroppingSyns},
    {"BadContentIsSkipped", &FaultTest::badContentIsSkipped},
    {"DatabaseLockedByAWriter", &FaultTest::databaseLockedByAWriter},
    {"WriterDiesMidTransaction", &FaultTest::writerDiesMidTransaction},
    {"NormalClose", &FaultTest::normalClose},
    {"SighupIsIgnored", &FaultTest::sighupIsIgnored},
};

TEST_P(FaultTest, CallsGetThrough) {
    (this->*GetParam().run)();
}

INSTANTIATE_TEST_SUITE_P(Field, FaultTest, testing::ValuesIn(faults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace systest
