// stationtool, the real binary, against the sample configuration database and a real SNMP agent
// (snmpd started by sim/snmp/station-agent) on the station's address in the private namespace.
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "harness.h"

namespace systest {
namespace {

const std::string DATABASE = "/var/lib/vok/config.db";
const std::string AGENT_STATE = "/tmp/agent3";

const std::string USAGE =
    "Useage: stationtool ID set SETTING [ VALUE ]\n"
    "        stationtool ID get SETTING\n"
    "ID := { 0 , 1 ... , 16 }\n"
    "SETTING := see v_sendtostation in config.sql\n"
    "VALUE := setting dependent value. see v_sendtostation in config.sql\n"
    "\n";

// The request-id of a run, from its first dump.
unsigned requestId(const std::string& out) {
    size_t at = out.find("Request ID: ");
    return at == std::string::npos ? 9999 : std::stoul(out.substr(at + 12));
}

// The dump lines of a message with one varbind and the mosaic community, value line included;
// the lengths are those of a two-octet request-id, one less below 128.
std::string dump(int length, int pduLength, int pduType, const std::string& valueLines,
                 unsigned id) {
    int shorter = id < 128 ? 1 : 0;
    std::ostringstream text;
    text << "Length: " << length - shorter
         << "\nVersion: 0\nCommunity: mosaic\nPDU length: " << pduLength - shorter
         << "\nPDU type: " << pduType << "\nRequest ID: " << id
         << "\nError: 0\nError index: 0\nVarbind list length: \nVarbind length: \nOID: \n"
         << valueLines << "==========================\n";
    return text.str();
}

// The agent's answer to a GetRequest: the request as a GetResponse carrying the INTEGER 42 in
// place of its NULL, each enclosing length one more.
Bytes answer42(Bytes request) {
    size_t end = request.size();
    request[13] = 0xA2;
    for (size_t at : {size_t(1), size_t(14), end - 19, end - 17}) {
        request[at]++;
    }
    request.resize(end - 2);
    request.insert(request.end(), {0x02, 0x01, 0x2A});
    return request;
}

class StationtoolTest : public SystemTest {
  protected:
    void setUpInside() override {
        // The SNMP library's state files stay private too (covered by the second mount when
        // /var/lib/vok does not exist, as that one then lies over the whole of /var/lib).
        mountTmpfs("/var/lib/snmp");
        mountTmpfs("/var/lib/vok");
        createSampleDatabase(DATABASE);
    }

    // Starts station 3's agent; `values` ("node.subnode value name" lines) replaces the
    // settings it would take from the database.
    void startAgent(const std::string& values = "") {
        if (!values.empty()) {
            run({"/bin/mkdir", "-p", AGENT_STATE});
            writeFile(AGENT_STATE + "/values", values);
        }
        agent_ = std::make_unique<Process>(
            std::vector<std::string>{source("sim/snmp/station-agent"), "3", DATABASE, AGENT_STATE});
        ASSERT_TRUE(agent_->waitForOut("NET-SNMP version", 10s)) << agent_->err();
    }

    // What the agent holds for a setting ("node.subnode value name" lines of its values file).
    std::string agentValue(const std::string& name) {
        std::istringstream lines(readFile(AGENT_STATE + "/values"));
        std::string key, value, label;
        while (lines >> key >> value >> label) {
            if (label == name) {
                return value;
            }
        }
        return "(none)";
    }

    Result stationtool(const std::vector<std::string>& args, Millis limit = 10s) {
        std::vector<std::string> argv{program("stationtool")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, "", limit);
    }

    std::unique_ptr<Process> agent_;
};

TEST_F(StationtoolTest, GetPrintsBothMessagesWithTheAgentsValue) {
    startAgent();
    const std::string journal = DATABASE + "-journal";
    for (bool killedWriter : {false, true}) {
        if (killedWriter) {
            // Killed in a transaction too large for its cache, the writer leaves every object
            // moved in the database and the old pages in a hot journal, which the get rolls back.
            Result writer = run(
                {"/usr/bin/sqlite3", DATABASE},
                "PRAGMA cache_size = 2;\nBEGIN;\nUPDATE tbls_oids SET node = node + 100;\n"
                "CREATE TABLE filler(b);\nWITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                "FROM n WHERE i < 200) INSERT INTO filler SELECT randomblob(1000) FROM n;\n"
                ".shell kill -9 $PPID\n");
            ASSERT_EQ(writer.err, "");
            ASSERT_EQ(access(journal.c_str(), F_OK), 0) << "no journal left behind";
        }
        Result result = stationtool({"3", "get", "vol_max"});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        // Station 3 faces Main Street: the sample gives it vol_max 90, and the agent starts there.
        unsigned id = requestId(result.out);
        EXPECT_EQ(result.out,
                  "Using OID: 1.3.6.1.4.1.1206.4.2.14.1.2\nID is: 3\n" +
                      dump(45, 30, 160, "Value length: 0\nValue Typecode: 5\n", id) +
                      dump(46, 31, 162, "Value length: 1\nValue Typecode: 2\nValue: 90\n", id));
        EXPECT_NE(access(journal.c_str(), F_OK), 0) << killedWriter;
    }
}

TEST_F(StationtoolTest, QuietModePrintsOnlyTheValue) {
    startAgent();
    Result get = stationtool({"-q", "3", "get", "vol_max"});
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, "90\n");
    EXPECT_EQ(get.err, "");
    Result set = stationtool({"--quiet", "3", "set", "vol_max", "80"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out + set.err, "");
    EXPECT_EQ(agentValue("vol_max"), "80");
}

TEST_F(StationtoolTest, SetValuesReachTheAgentAndAFollowingGetShowsThem) {
    // A setting that the schema leaves unbounded, so that the agent takes every 32-bit value.
    run({"/usr/bin/sqlite3", DATABASE, "INSERT INTO tbls_oids VALUES ('raw_word', 9, 1);"});
    startAgent();
    struct Case {
        const char* given;
        const char* sent;
        const char* held;
        const char* shown;
    } cases[] = {
        {"42", "42", "42", "Value: 42\n"},
        {"-5", "-5", "-5", "Value: 4294967291\n"},
        {"-1", "-1", "-1", "Value: 4294967295\n"},  // the agent confirms -1 as 02 01 FF
        {"2147483647", "2147483647", "2147483647", "Value: 2147483647\n"},
        {"4294967295", "-1", "-1", "Value: 4294967295\n"},  // the same 32 bits as -1
        {"-2147483648", "-2147483648", "-2147483648", "Value: 2147483648\n"},
    };
    std::set<unsigned> ids;  // drawn afresh for each run
    for (const Case& c : cases) {
        Result set = stationtool({"3", "set", "raw_word", c.given});
        EXPECT_EQ(set.status, 0) << c.given << "\n" << set.err;
        EXPECT_EQ(set.err, "");
        EXPECT_NE(set.out.find("ID is: 3\nValue is: " + std::string(c.sent) + "\n"),
                  std::string::npos)
            << set.out;
        EXPECT_EQ(agentValue("raw_word"), c.held);

        Result get = stationtool({"3", "get", "raw_word"});
        EXPECT_EQ(get.status, 0) << get.err;
        EXPECT_NE(get.out.rfind(c.shown), std::string::npos) << get.out;
        ids.insert({requestId(set.out), requestId(get.out)});
    }
    EXPECT_GT(ids.size(), 1u);
}

TEST_F(StationtoolTest, SetWithoutAValueSendsTheConfiguredOne) {
    startAgent("1.2 7 vol_max\n6.1 8 night_vol_max\n");
    Result result = stationtool({"3", "set", "vol_max"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Value is: 90\n"), std::string::npos) << result.out;
    EXPECT_EQ(agentValue("vol_max"), "90");
    EXPECT_EQ(agentValue("night_vol_max"), "8");
}

TEST_F(StationtoolTest, AnObjectTheAgentLacksIsAnSnmpError) {
    startAgent("1.2 7 vol_max\n");
    Result get = stationtool({"3", "get", "vol_min"});
    EXPECT_EQ(get.status, 255);
    EXPECT_EQ(get.err, "SNMP error received\nUnable to get setting\n");
    EXPECT_NE(get.out.find("\nError: 2\n"), std::string::npos) << get.out;

    Result set = stationtool({"3", "set", "vol_min", "5"});
    EXPECT_EQ(set.status, 255);
    EXPECT_EQ(set.err,
              "SNMP error received\nSet Request was not correctly accepted\n"
              "Unable to send setting\n");
    EXPECT_EQ(agentValue("vol_max"), "7");
}

TEST_F(StationtoolTest, SetsOutsideTheSchemasRangeAreRefusedWithBadValue) {
    startAgent();  // the quiet test shows a value inside the range taken
    const std::pair<const char*, const char*> cases[] = {{"vol_max", "9999"},
                                                         {"vol_max", "101"},
                                                         {"locator_period_ms", "499"},
                                                         {"locator_tone", "2"}};
    for (const auto& [setting, value] : cases) {
        std::string held = agentValue(setting);
        Result result = stationtool({"3", "set", setting, value});
        EXPECT_EQ(result.status, 255) << setting << " " << value;
        EXPECT_EQ(result.err,
                  "SNMP error received\nSet Request was not correctly accepted\n"
                  "Unable to send setting\n")
            << setting << " " << value;
        EXPECT_NE(result.out.find("\nError: 3\n"), std::string::npos) << result.out;
        EXPECT_EQ(agentValue(setting), held) << setting << " " << value;
    }
}

TEST_F(StationtoolTest, ASilentStationCostsTheFiveSecondTimeout) {
    UdpPeer silent("192.168.0.13", 161);
    auto start = std::chrono::steady_clock::now();
    Result result = stationtool({"3", "get", "vol_max"});
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err,
              "Did not or could not receive the message:\nResource temporarily unavailable\n"
              "Unable to get setting\n");
    EXPECT_EQ(result.out,
              "Using OID: 1.3.6.1.4.1.1206.4.2.14.1.2\nID is: 3\n" +
                  dump(45, 30, 160, "Value length: 0\nValue Typecode: 5\n", requestId(result.out)));
    EXPECT_GE(elapsed, 4900ms);
    EXPECT_LT(elapsed, 8s);
    EXPECT_TRUE(silent.receive(0ms));
}

TEST_F(StationtoolTest, NoAgentAtTheAddressIsRefusedAtOnce) {
    Result result = stationtool({"3", "set", "vol_max", "1"}, 3s);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err,
              "Did not or could not receive the message:\nConnection refused\n"
              "Unable to send setting\n");
}

TEST_F(StationtoolTest, StationsZeroAndSixteenAreReachedAtTheirAddresses) {
    for (const char* id : {"0", "16", " 16 "}) {
        std::string ip = std::string("192.168.0.") + (std::string(id) == "0" ? "10" : "26");
        UdpPeer station(ip, 161);
        auto child = std::make_unique<Process>(
            std::vector<std::string>{program("stationtool"), id, "get", "vol_max"});
        auto request = station.receive(5s);
        ASSERT_TRUE(request) << id;
        station.reply(answer42(*request));
        Result result = child->wait(5s);
        EXPECT_EQ(result.status, 0) << id << result.err;
        EXPECT_NE(result.out.find("Value: 42\n=="), std::string::npos);
    }
}

TEST_F(StationtoolTest, SettingsTheDatabaseLacksSendNothing) {
    UdpPeer station3("192.168.0.13", 161);
    UdpPeer station9("192.168.0.19", 161);
    const std::string unknown =
        "_getOID: Unable to step statment\nsqlite3: no more rows available\n"
        "config_getOID: Unable to load OID\nCouldn't get OID\nUnable to get setting\n"
        "Valid settings: vol_min, vol_max, ambient_track, locator_tone, locator_vol, "
        "locator_period_ms, walk_tone, wait_msg, walk_msg, street_msg, extpress_ms, vibrotactile, "
        "led_confirm, night_vol_max, night_start_min, night_end_min\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        // Station 9 has no row in v_sendtostation; the setting itself exists, so no list.
        {{"9", "set", "vol_max"},
         "_getSetting: Unable to step statment\nsqlite3: no more rows available\n"
         "config_getSetting: Unable to load setting\nUnable to get setting value: vol_max\n"},
        {{"3", "get", "volume"}, unknown},
        {{"-q", "3", "get", "volume"}, unknown},
    };
    for (const Case& c : cases) {
        Result result = stationtool(c.args);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(station3.receive(0ms));
    EXPECT_FALSE(station9.receive(0ms));
}

TEST_F(StationtoolTest, CommandLineRefusalsSendNothing) {
    UdpPeer station("192.168.0.13", 161);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, USAGE},
        {{"3", "get"}, USAGE},
        {{"3", "set", "vol_max", "5", "6"}, USAGE},
        {{"3", "Get", "vol_max"}, USAGE},
        {{"3", "gets", "vol_max"}, USAGE},
        {{"3", "ge", "vol_max"}, USAGE},
        {{"3", " get", "vol_max"}, USAGE},
        {{"3a", "get", "vol_max"}, "Invalid input\n" + USAGE},
        {{"7 8", "get", "vol_max"}, "Invalid input\n" + USAGE},
        {{"0x3", "get", "vol_max"}, "Invalid input\n" + USAGE},
        {{"", "get", "vol_max"}, "Invalid input\n" + USAGE},
        {{"17", "get", "vol_max"}, "Invalid id: 17\n"},
        {{"-1", "set", "vol_max", "5"}, "Invalid id: -1\n"},
        // Within 32 bits an ID shows as the signed reading of its bits.
        {{"4294967295", "get", "vol_max"}, "Invalid id: -1\n"},
        {{"3000000000", "get", "vol_max"}, "Invalid id: -1294967296\n"},
        {{"-2147483648", "get", "vol_max"}, "Invalid id: -2147483648\n"},
        // Numbers beyond 32 bits are refused rather than wrapped onto station 3 or value 42.
        {{"4294967299", "get", "vol_max"}, "Invalid id: 4294967299\n"},
        {{"3", "set", "vol_max", "4294967338"}, "Invalid input\n" + USAGE},
        {{"3", "set", "vol_max", "4294967296"}, "Invalid input\n" + USAGE},
        {{"3", "set", "vol_max", "-2147483649"}, "Invalid input\n" + USAGE},
        {{"3", "get", "vol_max", "5"}, "Too many parameters for command\n"},
        {{"3", "set", "vol_max", "5x"}, "Invalid input\n" + USAGE},
        {{"3", "set", "vol_max", ""}, "Invalid input\n" + USAGE},
    };
    for (const Case& c : cases) {
        Result result = stationtool(c.args);
        std::string shown;
        for (const std::string& arg : c.args) {
            shown += "[" + arg + "]";
        }
        EXPECT_EQ(result.status, 255) << shown;
        EXPECT_EQ(result.err, c.err) << shown;
        EXPECT_EQ(result.out, "") << shown;
    }
    EXPECT_FALSE(station.receive(0ms));
}

}  // namespace
}  // namespace systest
