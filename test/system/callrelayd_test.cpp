// callrelayd, the real binary, with the CID, the stations and syslog played by the test or by
// the simulators, each test in private namespaces of its own.
#include "callrelayd_fixture.h"

namespace systest {
namespace {

// ---- the road of one button press ----

TEST_F(CallrelaydTest, PedestrianCallBecomesOneDatagramAndIsLogged) {
    UdpPeer cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 4));

    auto datagram = cid.receive(2s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 2}, {"sid", 3}})));
    EXPECT_FALSE(cid.receive(200ms)) << "a second datagram";

    ASSERT_TRUE(daemon.waitForErr("]Ped Call\n"));
    std::regex line(R"(\[(\d+);(\d+)\]Ped Call)");
    std::smatch match;
    std::string err = daemon.err();
    ASSERT_TRUE(std::regex_search(err, match, line)) << err;
    pid_t child = std::stoi(match[1]);
    EXPECT_NE(child, daemon.pid()) << "relayed by the parent";

    auto logged = syslog_->find("]Ped Call");
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->text, match[0].str());
    EXPECT_EQ(logged->priority, LOG_DAEMON_FACILITY * 8 + INFO);
    EXPECT_EQ(logged->ident, "callrelayd.v2");
    EXPECT_EQ(logged->pid, child);
    auto starting = syslog_->find("]starting");
    ASSERT_TRUE(starting);
    EXPECT_EQ(starting->text, "[" + std::to_string(daemon.pid()) + ";0]starting");
    EXPECT_EQ(starting->priority, LOG_DAEMON_FACILITY * 8 + INFO);
}

TEST_F(CallrelaydTest, ButtonPressReachesTheSimulatedIntersection) {
    Process cidsim({program("cidsim"), "--tick-ms", "60000"});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    startDaemon();
    Result station = run({program("stationsim"), "3:1,4,2"});
    EXPECT_EQ(station.status, 0) << station.err;
    ASSERT_TRUE(cidsim.waitForOut("button_up t=9 sid=3 (21 bytes)\n")) << cidsim.out();
    EXPECT_NE(cidsim.out().find("button_down t=8 sid=3 (21 bytes)\n"
                                "ped_call t=2 sid=3 (21 bytes)\n"
                                "button_up t=9 sid=3 (21 bytes)\n"),
              std::string::npos)
        << cidsim.out();

    // The status query of the display daemon then shows the call on phase 3.
    UdpPeer client("127.0.0.1", 40000);
    client.sendTo("127.0.0.1", 5000, intDocument({{"t", 1}}));
    auto status = client.receive(2s);
    ASSERT_TRUE(status);
    std::map<std::string, int32_t> keys;
    for (const Element& element : elementsOf(*status)) {
        keys[element.name] = element.value;
    }
    EXPECT_EQ(keys["pcall"], 1 << 2);
    EXPECT_EQ(keys["sp"], 0) << "button up released station 3";
}

// ---- every event type ----

TEST_F(CallrelaydTest, EventTypesZeroToFiveDoWhatTheyMean) {
    makeDatabase();
    UdpPeer cid("127.0.0.1", 5000);
    TcpListener stationConfig(stationIp(5), CONFIG_PORT);
    Process& daemon = startDaemon();
    Socket station = connectStation(5);
    for (int type = 0; type <= 5; ++type) {
        station.sendAll(event(5, type));
    }

    for (int32_t command : {8, 9, 2, 3}) {
        auto datagram = cid.receive(2s);
        ASSERT_TRUE(datagram) << command;
        EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", command}, {"sid", 5}})));
    }
    EXPECT_FALSE(cid.receive(200ms)) << "nothing else reaches the CID";

    auto push = stationConfig.accept(2s);
    ASSERT_TRUE(push);
    Bytes expected = expectedConfig(5);
    auto pushed = push->receiveExact(expected.size(), 2s);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(hex(*pushed), hex(expected));
    EXPECT_TRUE(push->waitClosed(2s)) << "one document, then the connection is closed";

    ASSERT_TRUE(daemon.waitForErr("]APS Call\n"));
    EXPECT_EQ(daemon.out(), "\t0\n");
    std::vector<std::string> expectedLines = {"Child started", "Unhandled event", "Button down",
                                              "Button up",     "Sending config",  "Ped Call",
                                              "APS Call"};
    EXPECT_EQ(childLines(0), expectedLines);
}

TEST_F(CallrelaydTest, CommandsRefusedWhileTheCidIsDownAreHeldAndDeliveredInOrder) {
    Process& daemon = startDaemon();
    Socket station = connectStation(2);
    for (int32_t type : {1, 4, 2}) {
        station.sendAll(event(2, type));
    }
    ASSERT_TRUE(
        daemon.waitForErr("]CID refused a command; holding commands until it takes them\n"));
    UdpPeer cid("127.0.0.1", 5000);
    for (int32_t command : {8, 2, 9}) {
        EXPECT_EQ(cid.receive(2s), intDocument({{"t", command}, {"sid", 2}}));
    }
    EXPECT_TRUE(daemon.waitForErr("]Delivered 3 held commands to CID after "));
}

// ---- configuration push ----

TEST_F(CallrelaydTest, ConfigurationRequestPushesTheStationsRow) {
    makeDatabase();
    TcpListener stationConfig(stationIp(3), CONFIG_PORT);
    startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 3));
    auto push = stationConfig.accept(2s);
    ASSERT_TRUE(push);
    Bytes expected = expectedConfig(3);
    ASSERT_FALSE(expected.empty());
    std::vector<Element> elements = elementsOf(expected);
    ASSERT_GE(elements.size(), 2u);
    EXPECT_EQ(elements[0].name, "t");
    EXPECT_EQ(elements[1].name, "id");
    EXPECT_EQ(elements[1].value, 3);
    auto pushed = push->receiveExact(expected.size(), 2s);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(hex(*pushed), hex(expected));
    EXPECT_TRUE(push->waitClosed(2s));
}

TEST_F(CallrelaydTest, StationSimulatorPrintsThePushedDocument) {
    makeDatabase();
    startDaemon();
    Result station = run({program("stationsim"), "--listen", "8:3"});
    EXPECT_EQ(station.status, 0) << station.err;
    EXPECT_NE(station.out.find("station 8 config push ("), std::string::npos) << station.out;
    EXPECT_NE(station.out.find("\"id\": 8"), std::string::npos) << station.out;
}

TEST_F(CallrelaydTest, MissingDatabaseIsNotCreatedAndNothingIsPushed) {
    TcpListener stationConfig(stationIp(3), CONFIG_PORT);
    Process& daemon = startDaemon();
    Socket station = connectStation(3);
    station.sendAll(event(3, 3));
    ASSERT_TRUE(daemon.waitForErr("]Unable to load config\n"));
    std::vector<std::string> expected = {"Child started", "Sending config",
                                         "Can't upen config database.", "Unable to load config"};
    EXPECT_EQ(childLines(0), expected);
    EXPECT_FALSE(stationConfig.accept(200ms));
    EXPECT_NE(access(DATABASE, F_OK), 0) << "the database was created";
}

// ---- invalid messages ----

// A framing error ends the child; a whole document that holds no event of the station is
// skipped, and the child ends only when the station closes. One case of each outcome: the
// decoder's and the frame reader's every case are callrelayd's unit tests.
TEST_F(CallrelaydTest, InvalidFramingEndsOnlyItsOwnChildAndBadContentIsSkipped) {
    const std::vector<std::string> decode = {"Error desierializing bson document",
                                             "Station disconnected"};
    const std::vector<std::string> receive = {"Error recieving BSON document",
                                              "Invalid event received"};
    Bytes truncated = event(3, 4);
    truncated.resize(12);
    const struct {
        const char* name;
        Bytes bytes;
        std::string firstLine;  // a prefix of it; the lines after it are `rest`
        std::vector<std::string> rest;
    } cases[] = {
        {"closes at once", {}, "Station disconnected", {}},
        {"length 1025", {0x01, 0x04, 0, 0}, "BSON document too long", receive},
        {"truncated body", truncated, "Received bytes doesn't match indicated length-", receive},
        {"sid 17", event(17, 1), decode[0], {decode[1]}},
        {"another station's sid",
         event(3, 4),
         "Event of station 3 on the connection of station 7 skipped",
         {decode[1]}},
    };
    UdpPeer cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket keeper = connectStation(1);
    keeper.sendAll(event(1, 1));
    ASSERT_TRUE(cid.receive(2s));
    size_t child = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Socket bad = connectStation(7);
        if (!c.bytes.empty()) {
            bad.sendAll(c.bytes);
        }
        shutdown(bad.fd(), SHUT_WR);
        EXPECT_TRUE(bad.waitClosed(2s)) << "the child ends";
        ASSERT_TRUE(eventually([&] { return childLines(child).size() >= 2 + c.rest.size(); }));
        std::vector<std::string> lines = childLines(child);
        ASSERT_EQ(lines.size(), 2 + c.rest.size()) << daemon.err();
        EXPECT_EQ(lines[0], "Child started");
        EXPECT_EQ(lines[1].rfind(c.firstLine, 0), 0u) << lines[1];
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), c.rest);
        ++child;
        // The station that behaves is still served.
        keeper.sendAll(event(1, 2));
        auto datagram = cid.receive(2s);
        ASSERT_TRUE(datagram);
        EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 9}, {"sid", 1}})));
    }
}

// ---- start-up ----

TEST_F(CallrelaydTest, SecondInstanceCannotBindAndExits255) {
    Process& first = startDaemon();
    Result second = run({program("callrelayd")}, "", 5s);
    EXPECT_EQ(second.status, 255);
    std::regex expected(
        R"(^\[(\d+);\d+\]starting\n\[\1;\d+\]Error binding socket-Address already in use\n)"
        R"(\[\1;\d+\]Error initializing communication\n$)");
    EXPECT_TRUE(std::regex_match(second.err, expected)) << second.err;
    auto bindLine = syslog_->find("]Error binding socket-Address already in use");
    ASSERT_TRUE(bindLine);
    EXPECT_EQ(bindLine->priority, LOG_DAEMON_FACILITY * 8 + WARNING);
    auto initLine = syslog_->find("]Error initializing communication");
    ASSERT_TRUE(initLine);
    EXPECT_EQ(initLine->priority, LOG_DAEMON_FACILITY * 8 + ERR);
    EXPECT_TRUE(first.running()) << "the first instance keeps serving";
}

TEST_F(CallrelaydTest, ChildSecondsCountFromTheDaemonsStart) {
    Process& daemon = startDaemon();
    std::this_thread::sleep_for(2100ms);
    Socket station = connectStation(4);
    ASSERT_TRUE(daemon.waitForErr("]Child started\n"));
    std::regex started(R"(\[\d+;(\d+)\]Child started)");
    std::smatch match;
    std::string err = daemon.err();
    ASSERT_TRUE(std::regex_search(err, match, started));
    EXPECT_GE(std::stoi(match[1]), 2);
}

TEST_F(CallrelaydTest, StandardErrorThatIsTheJournalGetsNoCopy) {
    // systemd names the stream it connects to the journal in JOURNAL_STREAM, as "device:inode".
    startDaemon(
        {"/bin/sh", "-c",
         "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec " + program("callrelayd")});
    Socket station = connectStation(4);
    station.sendAll(event(4, 1));
    EXPECT_TRUE(eventually([&] { return syslog_->find("]Button down").has_value(); }));
    EXPECT_EQ(daemon_->err(), "");
}

// ---- load and churn ----

TEST_F(CallrelaydTest, SeventeenStationsAtFullSpeedLoseAndReorderNothing) {
    constexpr int STATIONS = 17;
    constexpr int EVENTS = 1000;
    // At this pace the test's syslog reader falls behind and the daemon drops lines rather than
    // wait for it.
    syslogMayDrop_ = true;
    makeDatabase();
    UdpPeer cid("127.0.0.1", 5000);
    int big = 64 << 20;
    ASSERT_EQ(setsockopt(cid.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big), 0);

    // Per station: the event types, and the commands they must become.
    const int32_t commandOf[] = {0, 8, 9, 0, 2, 3};
    std::vector<std::vector<int32_t>> types(STATIONS);
    std::vector<std::vector<int32_t>> expected(STATIONS);
    std::vector<int> configRequests(STATIONS, 0);
    int zeros = 0;
    std::mt19937 random(17);
    for (int s = 0; s < STATIONS; ++s) {
        for (int i = 0; i < EVENTS; ++i) {
            // Mostly commands, some type 0, a configuration request now and then.
            int32_t type = static_cast<int32_t>(random() % 100);
            type = type < 2    ? 3
                   : type < 10 ? 0
                               : 1 + static_cast<int32_t>(type % 4) + (type % 4 >= 2);
            types[s].push_back(type);
            if (commandOf[type] != 0) {
                expected[s].push_back(commandOf[type]);
            } else if (type == 0) {
                ++zeros;
            } else {
                ++configRequests[s];
            }
        }
    }
    std::vector<std::unique_ptr<TcpListener>> configListeners;
    for (int s = 0; s < STATIONS; ++s) {
        configListeners.push_back(std::make_unique<TcpListener>(stationIp(s), CONFIG_PORT));
    }
    std::atomic<int> pushes{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> acceptors;
    for (int s = 0; s < STATIONS; ++s) {
        acceptors.emplace_back([&, s] {
            while (!done) {
                if (auto push = configListeners[s]->accept(50ms)) {
                    if (push->waitClosed(5s)) {
                        ++pushes;
                    }
                }
            }
        });
    }

    Process& daemon = startDaemon();
    std::vector<Socket> connections;
    for (int s = 0; s < STATIONS; ++s) {
        connections.push_back(connectStation(s));
    }
    std::vector<std::thread> senders;
    for (int s = 0; s < STATIONS; ++s) {
        senders.emplace_back([&, s] {
            for (int32_t type : types[s]) {
                connections[s].sendAll(event(s, type));
            }
        });
    }

    size_t total = 0;
    for (const auto& list : expected) {
        total += list.size();
    }
    std::vector<std::vector<int32_t>> received(STATIONS);
    std::vector<std::string> strays;
    size_t count = 0;
    while (count < total) {
        auto datagram = cid.receive(10s);
        if (!datagram) {
            break;
        }
        std::vector<Element> elements = elementsOf(*datagram);
        if (datagram->size() != 21 || elements.size() != 2 || elements[0].name != "t" ||
            elements[1].name != "sid" || elements[1].value < 0 || elements[1].value >= STATIONS) {
            strays.push_back(hex(*datagram));
            continue;
        }
        received[elements[1].value].push_back(elements[0].value);
        ++count;
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    EXPECT_FALSE(cid.receive(300ms)) << "more datagrams than events";
    EXPECT_TRUE(strays.empty()) << strays.size() << " stray datagrams, first " << strays[0];
    for (int s = 0; s < STATIONS; ++s) {
        EXPECT_EQ(received[s], expected[s]) << "station " << s;
    }
    int requests = 0;
    for (int station : configuredStations()) {
        requests += configRequests[station];
    }
    EXPECT_TRUE(eventually([&] { return pushes == requests; }, 10s))
        << pushes << " of " << requests << " pushes";
    done = true;
    for (std::thread& acceptor : acceptors) {
        acceptor.join();
    }
    std::string tabZero;
    for (int i = 0; i < zeros; ++i) {
        tabZero += "\t0\n";
    }
    EXPECT_TRUE(eventually([&] { return daemon.out().size() >= tabZero.size(); }));
    EXPECT_EQ(daemon.out(), tabZero);
    EXPECT_EQ(daemon.err().find("Problem sending"), std::string::npos);
}

TEST_F(CallrelaydTest, ChurnLeavesNoZombiesAndNoDescriptors) {
    const std::string started = "]Child started\n";
    syslogMayDrop_ = true;  // thousands of lines in a few seconds: the test's reader falls behind
    Process& daemon = startDaemon();
    ASSERT_TRUE(syslog_->find("]starting"));
    int before = socketCount(daemon.pid());
    constexpr int BURSTS = 40;
    constexpr int BURST = 50;
    size_t opened = 0;
    for (int burst = 0; burst < BURSTS; ++burst) {
        std::vector<Socket> open;
        for (int i = 0; i < BURST; ++i) {
            // A connection beyond the backlog of 4 would wait a second for the SYN to be sent
            // again, so a few at most wait for their accept.
            ASSERT_TRUE(
                eventually([&] { return occurrences(daemon.err(), started) + 3 >= opened; }));
            open.push_back(connectStation((burst + i) % 17));
            ++opened;
            if (i % 5 == 0) {
                open.back().sendAll(event((burst + i) % 17, 0));
            }
        }
        open.clear();  // all of the burst closes together
    }
    // The last few may still wait for their accept, and get their child after the rest ended.
    EXPECT_TRUE(eventually([&] { return occurrences(daemon.err(), started) == opened; }));
    std::map<pid_t, char> left;
    EXPECT_TRUE(eventually([&] { return (left = childrenOf(daemon.pid())).empty(); }, 30s));
    for (const auto& [pid, state] : left) {
        ADD_FAILURE() << "child " << pid << " left in state " << state;
    }
    EXPECT_EQ(socketCount(daemon.pid()), before);
    EXPECT_TRUE(daemon.running());
    // SIGCHLD arrives while the parent waits in accept, which resumes rather than fails.
    EXPECT_EQ(daemon.err().find("Error accepting connection"), std::string::npos);
    EXPECT_EQ(childPids(daemon.err()).size(), static_cast<size_t>(BURSTS * BURST));
}

// ---- crowds and stalls ----

TEST_F(CallrelaydTest, TwoHundredConnectionsAtOnceLeaveEveryOtherStationServed) {
    constexpr int STATIONS = 17;
    constexpr int CROWD = 200;
    syslogMayDrop_ = true;  // hundreds of lines at once: the test's reader may fall behind
    // Each end of every connection is a descriptor of this process.
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_cur, 2u * (STATIONS + CROWD)) << "too few descriptors for the test";

    UdpPeer cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    int before = socketCount(daemon.pid());
    std::vector<Socket> stations;
    for (int s = 0; s < STATIONS; ++s) {
        stations.push_back(connectStation(s));
    }
    int round = 0;
    ASSERT_TRUE(everyStationRelayed(stations, cid, round++));

    // A crowd of 200 from addresses no station has, held open together: each is closed at once
    // and gets no child. It comes in as fast as the listen backlog of 4 lets it (a connection
    // beyond it waits a second or more for the kernel to try again), and the stations press all
    // the while.
    std::vector<Socket> crowd;
    for (int i = 0; i < CROWD; ++i) {
        ASSERT_TRUE(eventually([&] { return closedByPeer(crowd) + 3 >= crowd.size(); }));
        crowd.push_back(
            beginConnect("127.0." + std::to_string(i % 2) + "." + std::to_string(2 + i / 2)));
        if (i % 10 == 9) {
            ASSERT_TRUE(allConnected(crowd, 5s));
            ASSERT_TRUE(everyStationRelayed(stations, cid, round++));
        }
    }
    ASSERT_TRUE(eventually([&] { return closedByPeer(crowd) == CROWD; }));
    EXPECT_EQ(childrenOf(daemon.pid()).size(), static_cast<size_t>(STATIONS));
    EXPECT_EQ(occurrences(daemon.err(), "]Child started\n"), static_cast<size_t>(STATIONS));

    // The crowd leaves; the stations still relay.
    crowd.clear();
    EXPECT_TRUE(everyStationRelayed(stations, cid, round++));
    EXPECT_EQ(socketCount(daemon.pid()), before);

    // 200 connects begun in the same instant: most wait in the kernel for the backlog, and the
    // stations already connected are served at once all the while.
    for (int i = 0; i < CROWD; ++i) {
        crowd.push_back(beginConnect("127.0.1." + std::to_string(1 + i)));
    }
    auto burst = Clock::now();
    while (Clock::now() - burst < 3s) {
        ASSERT_TRUE(everyStationRelayed(stations, cid, round++, 500ms));
    }
    EXPECT_EQ(childrenOf(daemon.pid()).size(), static_cast<size_t>(STATIONS));
    EXPECT_TRUE(daemon.running());
    EXPECT_EQ(daemon.err().find("Error accepting connection"), std::string::npos);
}

TEST_F(CallrelaydTest, StationStalledInsideALengthPrefixHoldsUpNoOtherStation) {
    UdpPeer cid("127.0.0.1", 5000);
    Process& daemon = startDaemon();
    Socket stalled = connectStation(5);
    Bytes press = event(5, 1);
    stalled.sendAll(Bytes(press.begin(), press.begin() + 2));
    ASSERT_EQ(childLines(0), std::vector<std::string>{"Child started"});

    // Every other station is served at once.
    std::map<int, Socket> stations;
    for (int s = 0; s < 17; ++s) {
        if (s != 5) {
            stations.emplace(s, connectStation(s));
        }
    }
    auto sent = Clock::now();
    for (auto& [s, station] : stations) {
        station.sendAll(event(s, 4));
    }
    std::set<int32_t> served;
    for (size_t i = 0; i < stations.size(); ++i) {
        auto datagram = cid.receive(2s);
        ASSERT_TRUE(datagram) << served.size() << " stations served";
        std::vector<Element> elements = elementsOf(*datagram);
        ASSERT_EQ(elements.size(), 2u);
        EXPECT_EQ(elements[0].value, 2);
        served.insert(elements[1].value);
    }
    EXPECT_EQ(served.size(), 16u);
    EXPECT_LT(Clock::now() - sent, 1s);

    // The stalled child is still waiting for the rest of its message, which it then relays.
    EXPECT_EQ(childLines(0), std::vector<std::string>{"Child started"});
    stalled.sendAll(Bytes(press.begin() + 2, press.end()));
    auto datagram = cid.receive(2s);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(hex(*datagram), hex(intDocument({{"t", 8}, {"sid", 5}})));
    EXPECT_TRUE(daemon.running());
}

// ---- the CID simulator, which the other programs' tests rely on ----

class CidSimTest : public SystemTest {
  protected:
    std::optional<Bytes> command(const Bytes& request, Millis limit = 1500ms) {
        UdpPeer client("127.0.0.1", 40001);
        client.sendTo("127.0.0.1", 5000, request);
        return client.receive(limit);
    }
    std::optional<Bytes> query(Millis limit = 1500ms) {
        return command(intDocument({{"t", 1}}), limit);
    }
    std::map<std::string, int32_t> status() {
        std::map<std::string, int32_t> keys;
        if (auto reply = query()) {
            for (const Element& element : elementsOf(*reply)) {
                keys[element.name] = element.value;
            }
        }
        return keys;
    }
};

TEST_F(CidSimTest, CallLatchesUntilItsPhaseWalksThenClears) {
    Process cidsim({program("cidsim"), "--tick-ms", "100", "--walk", "3", "--clearance", "3"});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    EXPECT_FALSE(command(intDocument({{"t", 2}, {"sid", 11}}), 0ms))
        << "only the query is answered";
    // Station 11 calls phase 3: walk, then clearance, then don't walk, the call gone.
    std::vector<std::string> seen;
    auto deadline = Clock::now() + 3s;
    while (Clock::now() < deadline && (seen.size() < 3 || seen.back() != "dont walk")) {
        std::map<std::string, int32_t> keys = status();
        const int32_t bit = 1 << 2;
        std::string state = keys["w"] & bit ? "walk" : keys["pc"] & bit ? "clearance" : "dont walk";
        if (state == "dont walk" && seen.empty()) {
            EXPECT_EQ(keys["pcall"], bit) << "latched until served";
            std::this_thread::sleep_for(10ms);
            continue;
        }
        if (seen.empty() || seen.back() != state) {
            seen.push_back(state);
            EXPECT_EQ(keys["pcall"], 0) << "the call is served once its walk begins";
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"walk", "clearance", "dont walk"}));
    EXPECT_TRUE(cidsim.waitForOut("ped_call t=2 sid=11 (21 bytes)\n"));
}

TEST_F(CallrelaydTest, RandomTrafficOfTheStationSimulatorReachesTheCidSimulator) {
    Process cidsim({program("cidsim")});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    startDaemon();
    Result stations =
        run({program("stationsim"), "--random", "3", "--mean-ms", "5", "--seed", "7", "1", "2"});
    EXPECT_EQ(stations.status, 0) << stations.err;
    // Three pedestrians at each of two stations: down, a call, up.
    EXPECT_TRUE(eventually([&] { return occurrences(cidsim.out(), " (21 bytes)\n") == 18; }))
        << cidsim.out();
    EXPECT_EQ(occurrences(cidsim.out(), "button_down t=8 sid=1 "), 3u);
    EXPECT_EQ(occurrences(cidsim.out(), "button_up t=9 sid=2 "), 3u);
}

TEST_F(CidSimTest, StatusCarriesEveryKeyWithItsType) {
    Process cidsim({program("cidsim")});
    ASSERT_TRUE(cidsim.waitForOut("listening"));
    auto status = query();
    ASSERT_TRUE(status);
    uint32_t length = 0;
    memcpy(&length, status->data(), 4);
    EXPECT_EQ(length, status->size());
    std::map<std::string, uint8_t> types;
    for (const Element& element : elementsOf(*status)) {
        types[element.name] = element.type;
    }
    for (const char* key :
         {"w", "dw", "pc", "pcall", "apscall", "papscall", "vokcall", "sr", "sg", "sp"}) {
        EXPECT_EQ(types[key], 0x10) << key;
    }
    EXPECT_EQ(types["counts"], 0x03);
    EXPECT_TRUE(cidsim.waitForOut("status_query t=1 (12 bytes) -> status"));
}

TEST_F(CidSimTest, MisbehavesOnRequest) {
    const struct {
        std::vector<std::string> options;
        std::function<void(const std::optional<Bytes>&)> check;
    } cases[] = {
        {{"--silent"}, [](const auto& reply) { EXPECT_FALSE(reply); }},
        {{"--oversize"},
         [](const auto& reply) {
             ASSERT_TRUE(reply);
             EXPECT_EQ(reply->size(), 1100u);
         }},
        {{"--omit", "sg"},
         [](const auto& reply) {
             ASSERT_TRUE(reply);
             for (const Element& element : elementsOf(*reply)) {
                 EXPECT_NE(element.name, "sg");
             }
             EXPECT_EQ(elementsOf(*reply).size(), 10u);
         }},
        {{"--wrong-type", "pcall", "--wrong-type", "counts"},
         [](const auto& reply) {
             ASSERT_TRUE(reply);
             for (const Element& element : elementsOf(*reply)) {
                 if (element.name == "pcall") {
                     EXPECT_EQ(element.type, 0x01);
                 }
                 if (element.name == "counts") {
                     EXPECT_EQ(element.type, 0x10);
                 }
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0]);
        std::vector<std::string> argv{program("cidsim")};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        Process cidsim(argv);
        ASSERT_TRUE(cidsim.waitForOut("listening"));
        c.check(query(300ms));
        cidsim.stop(SIGKILL);
    }
}

}  // namespace
}  // namespace systest
