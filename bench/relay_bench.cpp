// callrelayd's relay measured end to end, next to relayfloor. The bench plays up to 17 stations
// (TCP connections from 192.168.0.10 onwards to port 50005) and the CID (UDP 127.0.0.1:5000),
// stamps each pedestrian call when a station sends it and when its datagram reaches the CID, and
// runs the same driver against both programs in turns.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "macro.h"
#include "runner.h"
#include "udp_peer.h"

namespace {

using systest::Bytes;
using Clock = std::chrono::steady_clock;
using std::chrono_literals::operator""ms;

constexpr int MAX_STATIONS = 17;

// A station's pedestrian call, {"sid": sid, "e": 4}.
Bytes pedCall(int32_t sid) {
    Bytes doc = {21, 0, 0, 0, 0x10, 's', 'i', 'd', 0, 0, 0, 0, 0, 0x10, 'e', 0, 4, 0, 0, 0, 0};
    memcpy(doc.data() + 9, &sid, 4);
    return doc;
}

// The station of a datagram: callrelayd sends the command {"t": 2, "sid": n}, the floor the
// event {"sid": n, "e": 4} unchanged. -1 for anything else.
int stationOf(const uint8_t* datagram, ssize_t size) {
    static const uint8_t command[] = {21, 0, 0, 0,    0x10, 't', 0,   2,
                                      0,  0, 0, 0x10, 's',  'i', 'd', 0};
    static const uint8_t event[] = {21, 0, 0, 0, 0x10, 's', 'i', 'd', 0};
    int32_t sid = -1;
    if (size == 21 && memcmp(datagram, command, sizeof command) == 0) {
        memcpy(&sid, datagram + 16, 4);
    } else if (size == 21 && memcmp(datagram, event, sizeof event) == 0) {
        memcpy(&sid, datagram + 9, 4);
    }
    return sid >= 0 && sid < MAX_STATIONS ? sid : -1;
}

// The CID: stamps each datagram on arrival and wakes the station it came from.
class Cid {
  public:
    Cid() : socket_("127.0.0.1", 5000) {
        int size = 64 << 20;
        setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        timeval tick{0, 50000};  // how often the receiver looks at stop_
        setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        thread_ = std::thread([this] { run(); });
    }
    ~Cid() {
        stop_ = true;
        thread_.join();
    }
    Cid(const Cid&) = delete;
    Cid& operator=(const Cid&) = delete;

    void reset(size_t expected) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& times : received_) {
            times.clear();
            times.reserve(expected);
        }
    }
    // Waits until station `sid` has `count` datagrams received; false after 30 s without.
    bool waitFor(int sid, size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_[sid].wait_for(lock, std::chrono::seconds(30),
                                      [&] { return received_[sid].size() >= count; });
    }
    std::vector<Clock::time_point> received(int sid) {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_[sid];
    }

  private:
    void run() {
        uint8_t datagram[2048];
        while (!stop_) {
            ssize_t n = recv(socket_.fd(), datagram, sizeof datagram, 0);
            Clock::time_point now = Clock::now();
            int sid = n > 0 ? stationOf(datagram, n) : -1;
            if (sid < 0) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            received_[sid].push_back(now);
            changed_[sid].notify_one();
        }
    }

    UdpPeer socket_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_[MAX_STATIONS];
    std::vector<Clock::time_point> received_[MAX_STATIONS];
};

struct Measured {
    std::vector<double> latenciesUs;
    double eventsPerSecond;
};

// Each station sends `events` pedestrian calls: one at a time (waiting for each to reach the
// CID before the next) or all as fast as it can.
Measured measure(Cid& cid, std::vector<systest::Socket>& stations, int events, bool oneAtATime) {
    size_t count = stations.size();
    cid.reset(static_cast<size_t>(events));
    std::vector<std::vector<Clock::time_point>> sent(count);
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    for (size_t s = 0; s < count; ++s) {
        sent[s].reserve(static_cast<size_t>(events));
        threads.emplace_back([&, s] {
            Bytes doc = pedCall(static_cast<int32_t>(s));
            for (int i = 0; i < events; ++i) {
                sent[s].push_back(Clock::now());
                stations[s].sendAll(doc);
                if (oneAtATime && !cid.waitFor(static_cast<int>(s), static_cast<size_t>(i) + 1)) {
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    Measured measured{{}, 0};
    Clock::time_point last = start;
    for (size_t s = 0; s < count; ++s) {
        cid.waitFor(static_cast<int>(s), static_cast<size_t>(events));
        std::vector<Clock::time_point> received = cid.received(static_cast<int>(s));
        if (received.size() != static_cast<size_t>(events)) {
            throw std::runtime_error("station " + std::to_string(s) + ": " +
                                     std::to_string(received.size()) + " of " +
                                     std::to_string(events) + " calls reached the CID");
        }
        for (size_t i = 0; i < received.size(); ++i) {
            measured.latenciesUs.push_back(
                std::chrono::duration<double, std::micro>(received[i] - sent[s][i]).count());
            last = std::max(last, received[i]);
        }
    }
    double seconds = std::chrono::duration<double>(last - start).count();
    measured.eventsPerSecond = static_cast<double>(measured.latenciesUs.size()) / seconds;
    return measured;
}

// All rounds of one program for one station count.
struct Pooled {
    std::vector<double> latenciesUs;
    std::vector<double> rates;
};

void measureRound(Cid& cid, const std::string& program, int stationCount, int events,
                  Pooled& pooled) {
    systest::Process relay({systest::program(program)});
    std::vector<systest::Socket> stations;
    for (int s = 0; s < stationCount; ++s) {
        auto connection =
            systest::tcpConnect("192.168.0." + std::to_string(10 + s), "127.0.0.1", 50005);
        if (!connection) {
            throw std::runtime_error("cannot connect to " + program + ": " + relay.err());
        }
        stations.push_back(std::move(*connection));
    }
    std::this_thread::sleep_for(200ms);  // every child started
    Measured latency = measure(cid, stations, events, true);
    Measured rate = measure(cid, stations, events, false);
    stations.clear();  // the children end with their connections
    relay.stop();
    pooled.latenciesUs.insert(pooled.latenciesUs.end(), latency.latenciesUs.begin(),
                              latency.latenciesUs.end());
    pooled.rates.push_back(rate.eventsPerSecond);
}

}  // namespace

void addRelayRows(Table& table, const MacroOptions& options) {
    Cid cid;
    for (int stationCount : {1, MAX_STATIONS}) {
        Pooled ours;
        Pooled floor;
        for (int round = 0; round < options.rounds; ++round) {
            measureRound(cid, "callrelayd", stationCount, options.events, ours);
            measureRound(cid, "relayfloor", stationCount, options.events, floor);
        }
        for (Pooled* pooled : {&ours, &floor}) {
            std::sort(pooled->latenciesUs.begin(), pooled->latenciesUs.end());
            std::sort(pooled->rates.begin(), pooled->rates.end());
        }
        std::string label = "relay, " + std::to_string(stationCount) +
                            (stationCount == 1 ? " station: " : " stations: ");
        table.add({label + "latency median", "floor", "us", quantile(ours.latenciesUs, 0.5),
                   quantile(floor.latenciesUs, 0.5)});
        table.add({label + "latency p99", "floor", "us", quantile(ours.latenciesUs, 0.99),
                   quantile(floor.latenciesUs, 0.99)});
        table.add({label + "events per second", "floor", "events/s", quantile(ours.rates, 0.5),
                   quantile(floor.rates, 0.5)});
    }
}
