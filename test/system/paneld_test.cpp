// paneld, the real binary, on the simulated board (boardsim bound over /dev/i2c-0 and the GPIO
// value files) with the CID played by the test on 127.0.0.1:5000.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "descriptors.h"
#include "harness.h"
#include "octets.h"

namespace {

using namespace systest;
using Clock = std::chrono::steady_clock;

const std::string CONTROL = "/tmp/board.sock";
const std::string NOTIFY = "/tmp/notify.sock";
const std::string NOTICE = "No status from  \nthe CID         ";
const char NONE = static_cast<char>(0xCD);
const char GOOD = static_cast<char>(0xC5);
const char BAD = static_cast<char>(0xC6);

// --- the status document, encoded here so that the test does not share paneld's codec ---

struct Status {
    int32_t w = 0, dw = 0, pc = 0, pcall = 0, apscall = 0, papscall = 0, vokcall = 0;
    int32_t sg = 0, sr = 0, sp = 0;

    Bytes encode() const {
        Bytes doc(4, 0);
        appendInt(doc, "t", 1);
        for (auto [name, value] : {std::pair{"w", w},
                                   {"dw", dw},
                                   {"pc", pc},
                                   {"pcall", pcall},
                                   {"apscall", apscall},
                                   {"papscall", papscall},
                                   {"vokcall", vokcall},
                                   {"sg", sg},
                                   {"sr", sr},
                                   {"sp", sp}}) {
            appendInt(doc, name, value);
        }
        appendName(doc, 0x03, "counts");
        size_t counts = doc.size();
        doc.resize(counts + 4);
        for (int i = 0; i < 8; ++i) {
            appendInt(doc, std::to_string(i), i * 3);
        }
        closeDocument(doc, counts);
        return finishDocument(doc);
    }
};

// --- the CID, answering status queries from a thread of its own ---

class CidPlayer {
  public:
    explicit CidPlayer(const Status& status)
        : answer_(status.encode()),
          endpoint_(std::in_place, "127.0.0.1", 5000),
          thread_([this] { serve(); }) {}
    ~CidPlayer() {
        stop_ = true;
        thread_.join();
    }
    // Answers `count` more queries, then falls silent.
    void answerOnly(int count) { limit_ = answered_ + count; }
    // From now on each query is answered with what `next` gives, or not at all for nullopt.
    void answerWith(std::function<std::optional<Bytes>()> next) {
        std::lock_guard lock(mutex_);
        next_ = std::move(next);
    }
    int queries() const { return queries_; }
    int answered() const { return answered_; }
    std::vector<Bytes> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void serve() {
        while (!stop_) {
            std::optional<Bytes> request = endpoint_->receive(50ms);
            if (!request) {
                continue;
            }
            std::optional<Bytes> answer = answer_;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(*request);
                if (next_) {
                    answer = next_();
                }
            }
            queries_++;
            // Counted before it goes out, so that a test that has seen its frame sees it counted.
            if (answer && answered_ < limit_) {
                answered_++;
                endpoint_->reply(*answer);
            }
        }
        endpoint_.reset();  // at once: a query that came after the last look would go unanswered
    }

    Bytes answer_;
    std::optional<UdpPeer> endpoint_;
    std::atomic<bool> stop_ = false;
    std::atomic<int> queries_ = 0, answered_ = 0, limit_ = 1 << 30;
    std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::function<std::optional<Bytes>()> next_;
    std::thread thread_;
};

// --- the board simulator's control socket ---

class Control {
  public:
    Control() : socket_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        CONTROL.copy(address.sun_path, sizeof address.sun_path - 1);
        if (connect(socket_.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
            throw std::runtime_error("cannot reach boardsim's control socket");
        }
    }
    std::string request(const std::string& command) {
        send(command);
        return line(2s).value_or("(no reply)");
    }
    void send(const std::string& command) {
        std::string text = command + "\n";
        socket_.sendAll(Bytes(text.begin(), text.end()));
    }
    std::optional<std::string> line(Millis limit) {
        auto deadline = Clock::now() + limit;
        size_t end;
        while ((end = input_.find('\n')) == std::string::npos) {
            auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
            std::optional<Bytes> byte = socket_.receiveExact(1, std::max(left, Millis(0)));
            if (!byte) {
                return std::nullopt;
            }
            input_ += static_cast<char>((*byte)[0]);
        }
        std::string text = input_.substr(0, end);
        input_.erase(0, end + 1);
        return text;
    }

  private:
    Socket socket_;
    std::string input_;
};

// systemd's notification socket as the test plays it, its queue long enough for a minute.
Socket notifySocket() {
    writeFile("/proc/sys/net/unix/max_dgram_qlen", "512");  // of this test's namespace
    Socket notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    NOTIFY.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(notify.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return notify;
}

// Reads the messages waiting on `notify`, waiting until `deadline` for `text` to be one of them;
// how many of them were `text`.
int received(const Socket& notify, const std::string& text, Clock::time_point deadline = {}) {
    int count = 0;
    char message[64];
    for (;;) {
        ssize_t size = recv(notify.fd(), message, sizeof message, 0);
        if (size >= 0) {
            count += std::string(message, static_cast<size_t>(size)) == text;
        } else if (count > 0 || Clock::now() >= deadline) {
            return count;
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
}

struct Frame {
    Bytes bytes;
    Clock::time_point at;
    // The text of a text frame (between the 0x01 and the 0x00), else empty.
    std::string text() const {
        if (bytes.size() < 2 || bytes.front() != 0x01 || bytes.back() != 0x00) {
            return {};
        }
        return std::string(bytes.begin() + 1, bytes.end() - 1);
    }
};

// Every frame written to the display, in order, as it is written.
class FrameWatch {
  public:
    FrameWatch() { control_.send("watch"); }
    std::optional<Frame> next(Millis limit = 3s) {
        std::optional<std::string> line = control_.line(limit);
        if (!line) {
            return std::nullopt;
        }
        Clock::time_point at = Clock::now();
        return Frame{octets(line->substr(line->rfind(' ') + 1)), at};
    }

  private:
    Control control_;
};

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string blank() {
    return std::string(16, ' ') + "\n" + std::string(16, ' ');
}

Status richStatus() {
    Status status;
    status.w = 0x05;
    status.dw = 0xF2;
    status.pc = 0x0A;
    status.pcall = 0x81;
    status.vokcall = 0x03;
    status.apscall = 0xFF;
    status.papscall = 0xFF;
    status.sg = 0x0103;
    status.sr = 0x8004;
    status.sp = 0xFFFF;
    return status;
}

class PaneldTest : public SystemTest {
  protected:
    void setUpInside() override {
        if (std::string reason = i2cUnavailableReason(); drivesDisplay() && !reason.empty()) {
            GTEST_SKIP() << reason;
        }
        cid_ = std::make_unique<CidPlayer>(richStatus());
        mountTmpfs("/tmp/board");
        board_ = std::make_unique<Process>(
            std::vector<std::string>{program("boardsim"), "--gpio", gpioLines(), "--control",
                                     CONTROL, "--install", "/tmp/board"});
        ASSERT_TRUE(board_->waitForOut("ready")) << board_->err();
        control_ = std::make_unique<Control>();
        frames_ = std::make_unique<FrameWatch>();
    }

    // The GPIO lines whose value files the board provides.
    virtual std::string gpioLines() const { return "70,63"; }
    // Whether paneld gets as far as addressing the display.
    virtual bool drivesDisplay() const { return true; }

    void startPaneld() {
        started_ = Clock::now();
        paneld_ = std::make_unique<Process>(std::vector<std::string>{program("paneld")});
    }

    // The next frame, which must come within `limit`.
    Frame frame(Millis limit = 3s) {
        std::optional<Frame> next = frames_->next(limit);
        if (!next) {
            ADD_FAILURE() << "no frame within " << limit.count()
                          << " ms; paneld said: " << paneld_->err();
            return Frame{};
        }
        return *next;
    }

    void press() { ASSERT_EQ(control_->request("press"), "ok"); }
    void release() { ASSERT_EQ(control_->request("release"), "ok"); }

    // Destroyed in reverse order: paneld first, the CID last. Each program also dies with this
    // test process, so a crashed test leaves none behind, nor (with them) the private mounts.
    std::unique_ptr<CidPlayer> cid_;
    std::unique_ptr<Process> board_;
    std::unique_ptr<Control> control_;
    std::unique_ptr<FrameWatch> frames_;
    std::unique_ptr<Process> paneld_;
    Clock::time_point started_;
};

const std::string STATION_LINE =
    std::string{GOOD, GOOD, BAD} + std::string(5, NONE) + GOOD + std::string(6, NONE) + BAD;
const std::string SIG_LINE = "W?WFDDDD";
const std::string CALLS_LINE = "AA" + std::string(5, NONE) + "P";

TEST_F(PaneldTest, FirstFrameComesAfterAboutOneSecondAndShowsTheStationPage) {
    startPaneld();
    Frame first = frame();
    double after = secondsBetween(started_, first.at);
    EXPECT_GT(after, 0.8);
    EXPECT_LT(after, 2.0);
    EXPECT_EQ(first.bytes.size(), 35u);
    EXPECT_EQ(first.text(), "1 / Station   16\n" + STATION_LINE);
    ASSERT_FALSE(cid_->requests().empty());
    EXPECT_EQ(hex(cid_->requests()[0]), "0c 00 00 00 10 74 00 01 00 00 00 00");

    Frame second = frame();
    EXPECT_NEAR(secondsBetween(first.at, second.at), 1.0, 0.3);
    EXPECT_EQ(second.text(), "1 \\ Station   16\n" + STATION_LINE);
}

// The text of page 1, 2 or 3 for the rich status at render number `render`.
std::string pageText(int page, uint32_t render) {
    char heartbeat = render % 2 == 1 ? '/' : '\\';
    switch (page) {
        case 1:
            return std::string("1 ") + heartbeat + " Station   16\n" + STATION_LINE;
        case 2:
            return std::string("Phase   12345678\nSig ") + heartbeat + "   " + SIG_LINE;
        default:
            return std::string("Phase   12345678\nCalls ") + heartbeat + " " + CALLS_LINE;
    }
}

TEST_F(PaneldTest, PressesCycleThePagesAndReleasesChangeNothing) {
    startPaneld();
    EXPECT_EQ(frame().text(), pageText(1, 1));
    std::this_thread::sleep_for(300ms);  // the render's CID socket is closed by now
    size_t descriptors = openDescriptors(paneld_->pid());
    uint32_t renders = 1;
    for (int page : {2, 3, 1, 2}) {
        Frame tick = frame();  // a refresh of the page before; the next is a second away
        EXPECT_EQ(tick.text(), pageText(page == 1 ? 3 : page == 2 ? 1 : page - 1, ++renders));
        press();
        Frame shown = frame(Millis(700));
        EXPECT_LT(secondsBetween(tick.at, shown.at), 0.7);
        EXPECT_EQ(shown.text(), pageText(page, ++renders));
        release();  // reads '1': no page change, no render, no timer restart
        EXPECT_FALSE(frames_->next(Millis(600))) << "a release wrote to the display";
        Frame refresh = frame(Millis(1000));
        EXPECT_NEAR(secondsBetween(shown.at, refresh.at), 1.0, 0.35);
        EXPECT_EQ(refresh.text(), pageText(page, ++renders));
    }
    EXPECT_EQ(cid_->answered(), static_cast<int>(renders));  // one fresh status per render
    EXPECT_TRUE(paneld_->running()) << paneld_->err();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(openDescriptors(paneld_->pid()), descriptors) << "a render left a descriptor open";
}

// paneld is held stopped across two refresh periods and a press, so that its next poll reports
// the timer and the button together.
TEST_F(PaneldTest, TickAndPressInOneWakeUpRenderTheOldPageOnceThenTheNewOne) {
    startPaneld();
    EXPECT_EQ(frame().text(), pageText(1, 1));
    ASSERT_EQ(kill(paneld_->pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(2500ms);
    press();
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(kill(paneld_->pid(), SIGCONT), 0);

    Frame tick = frame();
    EXPECT_EQ(tick.text(), pageText(1, 2));  // the tick first, one render for all its periods
    Frame shown = frame(Millis(700));
    EXPECT_LT(secondsBetween(tick.at, shown.at), 0.5);
    EXPECT_EQ(shown.text(), pageText(2, 3));
    release();
    Frame refresh = frame(Millis(1500));
    EXPECT_NEAR(secondsBetween(shown.at, refresh.at), 1.0, 0.35);
    EXPECT_EQ(refresh.text(), pageText(2, 4));
    EXPECT_EQ(cid_->answered(), 4);
    EXPECT_EQ(occurrences(paneld_->err(), "Couldn't keep up with refresh timer.\n"), 1u)
        << paneld_->err();
    EXPECT_EQ(occurrences(paneld_->err(), "timeout timer"), 0u) << paneld_->err();
}

// Supervised all the while: ready with the first frame, the watchdog pinged every second (half the
// interval asked for) before and after the blanking.
TEST_F(PaneldTest, DisplayBlanksOnceAfterSixtySecondsUntilTheNextPress) {
    Socket notify = notifySocket();
    setenv("NOTIFY_SOCKET", NOTIFY.c_str(), 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    startPaneld();
    std::vector<Frame> seen{frame()};
    EXPECT_EQ(received(notify, "READY=1", seen.front().at + 1s), 1);
    for (;;) {
        Frame next = frame(Millis(2500));
        if (next.bytes.empty()) {
            return;
        }
        seen.push_back(next);
        if (next.text() == blank()) {
            break;
        }
        ASSERT_LT(seen.size(), 65u) << "no blank frame";
    }
    double blankedAfter = secondsBetween(started_, seen.back().at);
    EXPECT_GT(blankedAfter, 59.8);
    EXPECT_LT(blankedAfter, 61.5);
    EXPECT_GE(seen.size(), 59u);  // a refresh every second, then the one blank frame
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
        EXPECT_EQ(seen[i].text().substr(0, 2), "1 ") << "frame " << i;
    }
    int queries = cid_->queries();
    EXPECT_GE(received(notify, "WATCHDOG=1"), 30) << "in the minute before the blanking";

    EXPECT_FALSE(frames_->next(4s)) << "the display was written after blanking";
    EXPECT_EQ(cid_->queries(), queries) << "the CID was asked while the display was blank";
    EXPECT_TRUE(paneld_->running());
    EXPECT_GE(received(notify, "WATCHDOG=1"), 2) << "in the four seconds blank";

    auto pressed = Clock::now();
    press();
    Frame woken = frame(Millis(700));
    EXPECT_LT(secondsBetween(pressed, woken.at), 0.5);
    EXPECT_EQ(woken.text().substr(0, 2), "1 ");
    EXPECT_EQ(woken.text().substr(17), STATION_LINE);
    EXPECT_EQ(cid_->queries(), queries + 1);
    release();
    EXPECT_NEAR(secondsBetween(woken.at, frame().at), 1.0, 0.35);  // refreshing again
}

TEST_F(PaneldTest, SilentCidEndsTheProcessAfterANoticeFrame) {
    cid_->answerOnly(2);
    startPaneld();
    EXPECT_EQ(frame().text().substr(0, 2), "1 ");
    EXPECT_EQ(frame().text().substr(0, 2), "1 ");
    Result result = paneld_->wait(5s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find("Unable to recieve CID response."), std::string::npos) << result.err;
    EXPECT_EQ(cid_->queries(), 3);
    EXPECT_EQ(frame().text(), NOTICE);  // no longer the last status, as if it were live
    EXPECT_FALSE(frames_->next(Millis(300)));
    EXPECT_EQ(control_->request("frames"), "frames 3");
}

// A CID restarting (its port closed for 0.3 s) ends no render, whatever the phase of the gap
// against the refresh tick it covers.
TEST_F(PaneldTest, CidClosedForAFewTenthsOfASecondCostsNoFrame) {
    startPaneld();
    Clock::time_point tick = frame().at;
    for (int offset = -300; offset <= 0; offset += 50) {
        tick += 2s;
        std::this_thread::sleep_until(tick + Millis(offset));
        cid_.reset();
        std::this_thread::sleep_for(300ms);
        cid_ = std::make_unique<CidPlayer>(richStatus());
    }
    std::this_thread::sleep_until(tick + 1500ms);
    EXPECT_TRUE(paneld_->running()) << paneld_->err();
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(frame().text().substr(3), pageText(1, 1).substr(3)) << "frame " << i + 2;
    }
}

// ---- status answers of every size ----

// One answer, and the text of the runtime error it must end paneld with (empty when it is
// sound and paneld must show it).
struct SizedAnswer {
    Bytes bytes;
    std::string error;
};

// The error for an answer that is not a sound document, by the first check it fails.
std::string errorOf(const Bytes& answer) {
    if (answer.size() < 4) {
        return "The Intersection Status BSON document was too short: " +
               std::to_string(answer.size());
    }
    if (lengthPrefix(answer) > answer.size()) {
        return "The Intersection Status BSON document thought it was too large: " +
               std::to_string(lengthPrefix(answer)) + " " + std::to_string(answer.size());
    }
    return "The Intersection Status BSON document is malformed.";
}

// How each run of paneld ended, from the log of one run loop of the shell (each run's standard
// error followed by "--exit-- STATUS"): the exception's type and text, "type: text", for a run
// ended by an uncaught exception; anything else goes to `faults`.
void collectRuns(const std::string& log, std::multiset<std::string>* endings,
                 std::vector<std::string>* faults) {
    const std::string terminate = "terminate called after throwing an instance of '";
    const std::string what = "'\n  what():  ";
    const std::string mark = "--exit-- ";
    size_t at = 0;
    for (size_t end; (end = log.find(mark, at)) != std::string::npos;) {
        std::string err = log.substr(at, end - at);
        size_t lineEnd = log.find('\n', end);
        std::string status = log.substr(end + mark.size(), lineEnd - end - mark.size());
        at = lineEnd + 1;
        // A render that waited long enough may add this line; it is no fault.
        const std::string behind = "Couldn't keep up with refresh timer.\n";
        for (size_t found; (found = err.find(behind)) != std::string::npos;) {
            err.erase(found, behind.size());
        }
        // The shell's own note of the signal that ended its child.
        if (err.ends_with("Aborted\n")) {
            err.erase(err.size() - 8);
        }
        size_t type = terminate.size();
        size_t typeEnd = err.find(what, type);
        if (status != "134" || err.rfind(terminate, 0) != 0 || typeEnd == std::string::npos ||
            err.back() != '\n') {
            faults->push_back("status " + status + ": " + err);
            continue;
        }
        size_t text = typeEnd + what.size();
        endings->insert(err.substr(type, typeEnd - type) + ": " +
                        err.substr(text, err.size() - text - 1));
    }
}

TEST_F(PaneldTest, StatusAnswersOfEverySizeFrom0To1024EndItCleanlyOrAreShown) {
    std::mt19937 random(1024);
    std::vector<SizedAnswer> answers;
    for (size_t size = 0; size <= 1024; ++size) {
        for (Bytes bytes : {noDocument(size, random), grownOrCut(richStatus().encode(), size)}) {
            answers.push_back({bytes, framedWhole(bytes) ? "" : errorOf(bytes)});
        }
    }
    std::multiset<std::string> expectedErrors;
    size_t sound = 0;
    for (const SizedAnswer& answer : answers) {
        if (answer.error.empty()) {
            ++sound;
        } else {
            expectedErrors.insert(answer.error);
        }
    }

    // The queries take the answers in turn; once they are used up, none is answered, and each
    // paneld still running ends at its next render.
    std::atomic<size_t> next = 0;
    cid_->answerWith([&]() -> std::optional<Bytes> {
        size_t i = next++;
        return i < answers.size() ? std::optional<Bytes>(answers[i].bytes) : std::nullopt;
    });
    // Run loops in one shell, each starting paneld again as soon as it ends, so that an answer
    // that ends one is taken by the next; presses make every paneld running render at once.
    // Frames are read as they come: the board drops a watcher that falls behind.
    std::set<std::string> pages;
    for (int page = 1; page <= 3; ++page) {
        pages.insert(pageText(page, 1));
        pages.insert(pageText(page, 2));
    }
    std::atomic<bool> stopped = false;
    std::vector<std::string> strayFrames;
    size_t frames = 0, notices = 0;
    std::thread watcher([&] {
        for (;;) {
            std::optional<Frame> shown = frames_->next(Millis(500));
            if (!shown) {
                if (stopped) {
                    return;
                }
                continue;
            }
            if (shown->text() == NOTICE) {
                ++notices;  // each paneld's last frame
                continue;
            }
            ++frames;
            if (pages.count(shown->text()) == 0) {
                strayFrames.push_back(hex(shown->bytes));
            }
        }
    });
    constexpr int LOOPS = 40;
    const std::string loop =
        "while [ ! -e /tmp/answers-used ]; do \"$0\" 2>/tmp/run$i.err; s=$?; "
        "cat /tmp/run$i.err; echo \"--exit-- $s\"; done >/tmp/loop$i.log";
    Process loops({"/bin/sh", "-c",
                   "for i in $(seq " + std::to_string(LOOPS) + "); do " + loop + " & done; wait",
                   program("paneld")});
    auto deadline = Clock::now() + 120s;
    while (next < answers.size() && Clock::now() < deadline) {
        std::this_thread::sleep_for(60ms);
        press();
        std::this_thread::sleep_for(30ms);
        release();
    }
    writeFile("/tmp/answers-used", "");
    Result ended = loops.wait(10s);
    stopped = true;
    watcher.join();
    ASSERT_GE(next, answers.size()) << "only " << next << " answers were asked for";
    ASSERT_FALSE(ended.timedOut);

    // Every unsound answer ended one paneld with its error; the runs that were still going
    // when the answers ran out ended for want of one.
    std::multiset<std::string> endings;
    std::vector<std::string> faults;
    for (int i = 1; i <= LOOPS; ++i) {
        collectRuns(readFile("/tmp/loop" + std::to_string(i) + ".log"), &endings, &faults);
    }
    EXPECT_TRUE(faults.empty()) << faults.size()
                                << " runs ended otherwise, the first: " << faults.front();
    size_t silent = endings.erase(
        "std::system_error: Unable to recieve CID response.: Resource temporarily unavailable");
    EXPECT_LE(silent, static_cast<size_t>(LOOPS));
    std::multiset<std::string> expectedEndings;
    for (const std::string& error : expectedErrors) {
        expectedEndings.insert("std::runtime_error: " + error);
    }
    EXPECT_EQ(endings, expectedEndings);
    EXPECT_EQ(notices, silent + endings.size());

    // Every sound answer, and nothing else (but the notices), became one frame of a page.
    EXPECT_TRUE(strayFrames.empty())
        << strayFrames.size() << " other frames, the first " << strayFrames.front();
    EXPECT_EQ(frames, sound);
    EXPECT_EQ(control_->request("frames"), "frames " + std::to_string(sound + notices));
    EXPECT_GT(sound, 800u);
}

class PaneldWithoutAuxTest : public PaneldTest {
  protected:
    std::string gpioLines() const override { return "70"; }
    bool drivesDisplay() const override { return false; }
};

TEST_F(PaneldWithoutAuxTest, MissingAuxiliaryInputEndsItAtStartUp) {
    startPaneld();
    Result result = paneld_->wait(5s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_NE(result.status, 0);
    EXPECT_NE(result.err.find("Unable to open GPIO file. /sys/class/gpio/gpio63/value: No such "
                              "file or directory"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(control_->request("frames"), "frames 0");
    EXPECT_EQ(cid_->queries(), 0);
}

}  // namespace
