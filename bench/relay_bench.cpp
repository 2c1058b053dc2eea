// relaybench: measures how fast callrelayd relays station events to the CID. It runs the real
// daemon in private namespaces (as the whole-program tests do), plays the stations and the CID,
// and reports the latency from a station's send to the CID's receive, and events per second,
// for 1 and for 17 stations at once.
//
// Usage: relaybench [EVENTS]   (events per station and mode, default 2000; run as root)
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "harness.h"
#include "syslog_capture.h"

namespace {

using systest::Bytes;
using Clock = std::chrono::steady_clock;
using std::chrono_literals::operator""ms;

constexpr int MAX_STATIONS = 17;

Bytes pedCall(int32_t sid) {
    Bytes doc = {21, 0, 0, 0, 0x10, 's', 'i', 'd', 0, 0, 0, 0, 0, 0x10, 'e', 0, 4, 0, 0, 0, 0};
    memcpy(doc.data() + 9, &sid, 4);
    return doc;
}

// The CID: receives the commands and wakes the station that each one came from.
class Cid {
  public:
    Cid() : endpoint_("127.0.0.1", 5000) {
        int size = 64 << 20;
        setsockopt(endpoint_.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        thread_ = std::thread([this] { run(); });
    }
    ~Cid() {
        stop_ = true;
        thread_.join();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& times : received_) {
            times.clear();
        }
    }
    // Waits until station `sid` has `count` commands received; their receive times.
    std::vector<Clock::time_point> waitFor(int sid, size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30),
                          [&] { return received_[sid].size() >= count; });
        return received_[sid];
    }

  private:
    void run() {
        while (!stop_) {
            auto datagram = endpoint_.receive(50ms);
            if (!datagram || datagram->size() != 21) {
                continue;
            }
            auto now = Clock::now();
            int32_t sid = 0;
            memcpy(&sid, datagram->data() + 16, 4);
            if (sid < 0 || sid >= MAX_STATIONS) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            received_[sid].push_back(now);
            changed_.notify_all();
        }
    }

    systest::UdpEndpoint endpoint_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Clock::time_point> received_[MAX_STATIONS];
};

struct Measured {
    std::vector<double> latenciesUs;
    double seconds;
};

// One event at a time per station (waits for its command before the next), or all of a
// station's events as fast as it can send them.
Measured measure(Cid& cid, std::vector<systest::Socket>& stations, int events, bool oneAtATime) {
    cid.reset();
    size_t count = stations.size();
    std::vector<std::vector<Clock::time_point>> sent(count);
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (size_t s = 0; s < count; ++s) {
        threads.emplace_back([&, s] {
            Bytes doc = pedCall(static_cast<int32_t>(s));
            for (int i = 0; i < events; ++i) {
                sent[s].push_back(Clock::now());
                stations[s].sendAll(doc);
                if (oneAtATime) {
                    cid.waitFor(static_cast<int>(s), static_cast<size_t>(i) + 1);
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
        std::vector<Clock::time_point> received = cid.waitFor(static_cast<int>(s), events);
        for (size_t i = 0; i < received.size() && i < sent[s].size(); ++i) {
            measured.latenciesUs.push_back(
                std::chrono::duration<double, std::micro>(received[i] - sent[s][i]).count());
            last = std::max(last, received[i]);
        }
        if (received.size() != static_cast<size_t>(events)) {
            fprintf(stderr, "relaybench: station %zu: %zu of %d commands arrived\n", s,
                    received.size(), events);
        }
    }
    measured.seconds = std::chrono::duration<double>(last - start).count();
    std::sort(measured.latenciesUs.begin(), measured.latenciesUs.end());
    return measured;
}

void report(const char* mode, size_t stations, const Measured& m) {
    auto at = [&](double q) {
        return m.latenciesUs.empty()
                   ? 0.0
                   : m.latenciesUs[std::min(m.latenciesUs.size() - 1,
                                            static_cast<size_t>(q * m.latenciesUs.size()))];
    };
    printf("%-14s %8zu %8zu %12.0f %12.0f %12.0f\n", mode, stations, m.latenciesUs.size(), at(0.5),
           at(0.99), m.latenciesUs.size() / m.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    int events = argc > 1 ? atoi(argv[1]) : 2000;
    if (events <= 0) {
        fprintf(stderr, "Usage: relaybench [EVENTS]\n");
        return 2;
    }
    std::string reason = systest::enterPrivateNamespaces();
    if (!reason.empty()) {
        fprintf(stderr, "relaybench: %s\n", reason.c_str());
        return 1;
    }
    systest::SyslogCapture syslog;  // the daemon logs every event; keep it off the real console
    Cid cid;
    systest::Process daemon({systest::program("callrelayd")});
    printf("callrelayd relay: station send -> CID receive, %d pedestrian calls per station\n",
           events);
    printf("%-14s %8s %8s %12s %12s %12s\n", "mode", "stations", "events", "median_us", "p99_us",
           "events/s");
    for (size_t count : {size_t{1}, size_t{MAX_STATIONS}}) {
        for (bool oneAtATime : {true, false}) {
            std::vector<systest::Socket> stations;
            for (size_t s = 0; s < count; ++s) {
                auto connection =
                    systest::tcpConnect("192.168.0." + std::to_string(10 + s), "127.0.0.1", 50005);
                if (!connection) {
                    fprintf(stderr, "relaybench: cannot connect: %s\n", daemon.err().c_str());
                    return 1;
                }
                stations.push_back(std::move(*connection));
            }
            std::this_thread::sleep_for(200ms);  // every child started
            Measured m = measure(cid, stations, events, oneAtATime);
            report(oneAtATime ? "one-at-a-time" : "full-speed", count, m);
        }
    }
    return 0;
}
