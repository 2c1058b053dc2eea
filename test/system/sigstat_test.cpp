// sigstat, the real binary, against a CID played by the test.
#include <random>
#include <string>
#include <thread>

#include "harness.h"

namespace systest {
namespace {

const std::string MAIN_LINE = "main: Unable to get intersection data\n";

using Keys = std::vector<std::pair<std::string, int32_t>>;

const Keys STATUS = {{"w", 1},        {"dw", 254},     {"pc", 0},     {"pcall", 4},
                     {"papscall", 8}, {"vokcall", 16}, {"sr", 32768}, {"sg", 3}};

const Bytes STATUS_QUERY = {0x0c, 0, 0, 0, 0x10, 0x74, 0, 1, 0, 0, 0, 0};

class SigstatTest : public SystemTest {
  protected:
    // Runs sigstat with `args`; answers its query with `answer` unless it is empty.
    Result ask(const std::vector<std::string>& args, const Bytes& answer) {
        UdpPeer cid("127.0.0.1", 5000);
        std::vector<std::string> argv{program("sigstat")};
        argv.insert(argv.end(), args.begin(), args.end());
        Process sigstat(argv);
        auto query = cid.receive(3s);
        EXPECT_TRUE(query);
        if (query) {
            EXPECT_EQ(hex(*query), hex(STATUS_QUERY));
        }
        if (!answer.empty()) {
            cid.reply(answer);
        }
        return sigstat.wait(5s);
    }
};

TEST_F(SigstatTest, NoAnswerWithinOneSecondFails) {
    auto start = std::chrono::steady_clock::now();
    Result result = ask({}, {});
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err,
              "cid_getIntersecionData: Unable to recv CID request:\n"
              "cid_getIntersecionData: Resource temporarily unavailable\n" +
                  MAIN_LINE);
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);
}

TEST_F(SigstatTest, CidBackWithinTheSecondIsAskedAgain) {
    Process sigstat({program("sigstat"), "--hex"});
    std::this_thread::sleep_for(200ms);  // refused meanwhile: a CID restarting
    UdpPeer cid("127.0.0.1", 5000);
    ASSERT_TRUE(cid.receive(2s));
    cid.reply(intDocument(STATUS));
    Result result = sigstat.wait(5s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "01 FE 00\n");
}

TEST_F(SigstatTest, SocketAndReceiveFailuresEndWithTheMainLine) {
    // Nothing on port 5000: the query goes out and is refused, twice.
    Result refused = run({program("sigstat"), "--hex"});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "cid_getIntersecionData: Unable to recv CID request:\n"
              "cid_getIntersecionData: Connection refused\n" +
                  MAIN_LINE);
    noRouteToCid();
    Result unreachable = run({program("sigstat"), "--xml"});
    EXPECT_EQ(unreachable.status, 255);
    EXPECT_EQ(unreachable.out, "");
    EXPECT_EQ(unreachable.err,
              "cid_getSocket: Unable to connect to CID host:\n"
              "cid_getSocket: Network is unreachable\n" +
                  MAIN_LINE);
}

TEST_F(SigstatTest, ShortWriteOfTheRawFormFails) {
    UdpPeer cid("127.0.0.1", 5000);
    // Standard output is a full pipe-less file: /dev/full refuses every write.
    Process sigstat({"/bin/sh", "-c", "exec " + program("sigstat") + " --binary >/dev/full"});
    ASSERT_TRUE(cid.receive(3s));
    cid.reply(intDocument(STATUS));
    Result result = sigstat.wait(5s);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "main: Write didn't write the correct amount\n");
}

TEST_F(SigstatTest, RawFormPipesIntoBsoncat) {
    UdpPeer cid("127.0.0.1", 5000);
    Process pipeline({"/bin/sh", "-c", program("sigstat") + " --binary | " + program("bsoncat")});
    ASSERT_TRUE(cid.receive(3s));
    cid.reply(intDocument(STATUS));
    Result result = pipeline.wait(5s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "{\n \"w\": 1,\n \"dw\": 254,\n \"pc\": 0,\n \"pcall\": 4,\n \"papscall\": 8,\n"
              " \"vokcall\": 16,\n \"sr\": 32768,\n \"sg\": 3\n}\n");
}

// ---- answers of every size ----

// One answer and what sigstat must make of it: either the refusal text, or (empty refusal)
// the status of STATUS with `textTail` as the last element's line in the text form.
struct SizedAnswer {
    Bytes bytes;
    std::string refusal;
    std::string textTail;
};

// The refusal of an answer that cannot be read, by the first check it fails.
std::string refusalOf(const Bytes& answer) {
    if (answer.size() >= 1024) {
        return "CID response was too large";
    }
    if (answer.size() < 4 || lengthPrefix(answer) != answer.size()) {
        return "CID message size doesn't make sense";
    }
    return "CID message doesn't contain info.";
}

// The answer of `size` bytes that `bytes` is: sigstat reads a whole document below 1024 bytes,
// and shows the element grown onto STATUS as the last line of the text form.
SizedAnswer sized(const Bytes& bytes) {
    if (!framedWhole(bytes) || bytes.size() >= 1024) {
        return {bytes, refusalOf(bytes), ""};
    }
    size_t extra = bytes.size() - intDocument(STATUS).size();
    std::string tail;
    if (extra >= 8) {
        tail = " \"p\": " + std::string(extra - 8, 'a');
    } else if (extra >= 2) {
        tail = " \"" + std::string(extra - 2, 'x') + "\": NULL";
    }
    return {bytes, "", tail};
}

// Standard output and error and the exit status that `form` must give for `answer`.
std::string expectedRun(const SizedAnswer& answer, const std::string& form) {
    std::string out;
    std::string err;
    int status = 0;
    if (!answer.refusal.empty()) {
        err = "cid_getIntersecionData: " + answer.refusal + "\n" + MAIN_LINE;
        status = 255;
    } else if (form == "--hex") {
        out = "01 FE 00\n";
    } else if (form == "--xml") {
        out =
            "<dw>254</dw>\n<walk>1</walk>\n<clear>0</clear>\n<pcalls>4</pcalls>\n"
            "<apscalls>8</apscalls>\n<vokcalls>16</vokcalls>\n<bads>32768</bads>\n"
            "<goods>3</goods>\n";
    } else if (form == "--json") {
        out =
            "{\n \"w\": 1,\n \"dw\": 254,\n \"pc\": 0,\n \"pcall\": 4,\n \"papscall\": 8,\n"
            " \"vokcall\": 16,\n \"sr\": 32768,\n \"sg\": 3" +
            (answer.textTail.empty() ? "" : ",\n" + answer.textTail) + "\n}\n";
    } else if (form == "--binary") {
        out.assign(answer.bytes.begin(), answer.bytes.end());
    } else {
        out = "Ped: ^XXXXXXX\n";
    }
    return std::to_string(status) + " out:" + out + " err:" + err;
}

// Two halves that run side by side: noise, which is refused at every size, and the status
// document grown or cut to every size.
class SigstatSizes : public SigstatTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SigstatSizes, AnswersOfEverySizeFrom0To1024AreReadOrRefusedCleanly) {
    const bool documents = GetParam();
    std::mt19937 random(1024);
    std::vector<SizedAnswer> answers;
    // An emulator adds tens of milliseconds to each run: there, the sizes near the limits, the
    // status's own size and every seventh between.
    const size_t statusSize = intDocument(STATUS).size();
    for (size_t size = 0; size <= 1024; ++size) {
        if (programsEmulated() && size > 40 && size < 990 && size % 7 != 0 && size != statusSize) {
            continue;
        }
        answers.push_back(
            sized(documents ? grownOrCut(intDocument(STATUS), size) : noDocument(size, random)));
    }
    // One shell runs sigstat once per answer, the forms in turn, and marks the end of each
    // run on both streams; a run starts only after the one before has ended, so the n-th query
    // is the n-th run's. The leak check at each exit of a sanitized build would double the
    // time of these 1025 runs; the other tests of sigstat keep it.
    const std::string forms[] = {"--nifty", "--hex", "--xml", "--json", "--binary"};
    const std::string mark = "--run-end--";
    std::vector<std::string> argv = {
        "/bin/sh", "-c",
        "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\"; "
        "for form in \"$@\"; do \"$0\" \"$form\"; printf '%s%s\\n' " +
            mark + " $?; echo " + mark + " >&2; done",
        program("sigstat")};
    for (size_t i = 0; i < answers.size(); ++i) {
        argv.push_back(forms[i % 5]);
    }
    UdpPeer cid("127.0.0.1", 5000);
    Process runs(argv);
    for (size_t i = 0; i < answers.size(); ++i) {
        auto query = cid.receive(5s);
        ASSERT_TRUE(query) << "run " << i;
        ASSERT_EQ(hex(*query), hex(STATUS_QUERY));
        cid.reply(answers[i].bytes);
    }
    Result result = runs.wait(30s);
    ASSERT_EQ(result.status, 0);
    size_t outAt = 0;
    size_t errAt = 0;
    size_t accepted = 0;
    for (size_t i = 0; i < answers.size(); ++i) {
        size_t outEnd = result.out.find(mark, outAt);
        size_t errEnd = result.err.find(mark + "\n", errAt);
        ASSERT_NE(outEnd, std::string::npos) << "run " << i;
        ASSERT_NE(errEnd, std::string::npos) << "run " << i;
        size_t statusEnd = result.out.find('\n', outEnd);
        std::string seen =
            result.out.substr(outEnd + mark.size(), statusEnd - outEnd - mark.size()) +
            " out:" + result.out.substr(outAt, outEnd - outAt) +
            " err:" + result.err.substr(errAt, errEnd - errAt);
        EXPECT_EQ(seen, expectedRun(answers[i], forms[i % 5]))
            << "answer of " << answers[i].bytes.size() << " bytes: " << hex(answers[i].bytes);
        accepted += answers[i].refusal.empty();
        outAt = statusEnd + 1;
        errAt = errEnd + mark.size() + 1;
    }
    EXPECT_EQ(outAt, result.out.size());
    if (documents) {
        EXPECT_GT(accepted, programsEmulated() ? 120u : 900u);
    } else {
        EXPECT_EQ(accepted, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(System, SigstatSizes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Documents" : "Noise"; });

// True once some socket of this namespace is bound to UDP 127.0.0.1:5000.
bool cidListening(Millis limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (readFile("/proc/net/udp").find("0100007F:1388") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TEST_F(SigstatTest, AgainstTheCidSimulator) {
    const struct {
        std::vector<std::string> options;
        int status;
        std::string errTail;
    } cases[] = {
        {{}, 0, ""},
        {{"--omit", "sg"}, 255, "CID message doesn't contain info.\n" + MAIN_LINE},
        {{"--wrong-type", "w"}, 255, "CID message doesn't contain info.\n" + MAIN_LINE},
        {{"--oversize"}, 255, "CID response was too large\n" + MAIN_LINE},
        {{"--silent"}, 255, "Resource temporarily unavailable\n" + MAIN_LINE},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{program("cidsim"), "--quiet"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        Process cidsim(argv);
        ASSERT_TRUE(cidListening(5s));
        Result result = run({program("sigstat"), "--xml"});
        SCOPED_TRACE(c.options.empty() ? "well-behaved" : c.options[0]);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.status == 0) {
            EXPECT_EQ(result.out.rfind("<dw>", 0), 0u) << result.out;
            EXPECT_NE(result.out.find("<goods>65535</goods>\n"), std::string::npos) << result.out;
        } else {
            EXPECT_TRUE(result.err.ends_with(c.errTail)) << result.err;
        }
    }
}

}  // namespace
}  // namespace systest
