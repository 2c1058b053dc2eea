#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "descriptors.h"
#include "scratch.h"
#include "thrown.h"

#include "cid_socket.h"
#include "display.h"
#include "gpio.h"
#include "timer.h"

namespace {

using namespace std::chrono_literals;

class Scratch : public ::testing::Test, protected ScratchDirectory {};

TEST(TextFrameTest, FrameIsCommandTextAndTerminator) {
    uint8_t frame[DISPLAY_FRAME_SIZE];
    std::string page(33, 'x');
    ASSERT_EQ(textFrame(page, frame), 35u);
    EXPECT_EQ(frame[0], 0x01);
    EXPECT_EQ(std::string(frame + 1, frame + 34), page);
    EXPECT_EQ(frame[34], 0x00);

    std::string longText = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40 bytes
    ASSERT_EQ(textFrame(longText, frame), 38u);
    EXPECT_EQ(std::string(frame + 1, frame + 37), longText.substr(0, 36));
    EXPECT_EQ(frame[37], 0x00);

    ASSERT_EQ(textFrame("", frame), 2u);
    EXPECT_EQ(frame[0], 0x01);
    EXPECT_EQ(frame[1], 0x00);
}

TEST(I2CDisplayTest, WriteTextSendsOneFrame) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        I2CDisplay display = I2CDisplay::adopt(ends[1]);
        display.writeText(std::string("ab\ncd"));
        EXPECT_EQ(display.writeCommand(0x03), 1);
    }
    char buffer[16];
    ASSERT_EQ(read(ends[0], buffer, sizeof buffer), 8);
    EXPECT_EQ(std::string(buffer, 8), std::string("\x01"
                                                  "ab\ncd\0\x03",
                                                  8));
    close(ends[0]);
}

TEST_F(Scratch, DeviceThatRefusesTheSlaveAddressLeavesNothingOpen) {
    std::string path = file("i2c", "");
    size_t before = openDescriptors();
    EXPECT_EQ(messageOf<std::system_error>([&] {
                  I2CDisplay display(path.c_str());
              }).rfind("Unable to set I2C slave address. " + path + " 0x23: ", 0),
              0u);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(messageOf<std::system_error>([&] { I2CDisplay display((path + "-absent").c_str()); }),
              "Unable to open I2C device. " + path + "-absent: No such file or directory");
}

TEST(I2CDisplayTest, FailedWritesAreSystemErrors) {
    I2CDisplay display = I2CDisplay::adopt(-1);
    EXPECT_EQ(messageOf<std::system_error>([&] { display.writeText("x"); }),
              "Unable to write to display. descriptor -1: Bad file descriptor");
    EXPECT_EQ(messageOf<std::system_error>([&] { display.writeCommand(0); }),
              "Unable to write command to display. descriptor -1: Bad file descriptor");
}

TEST(GpioInputTest, ValuePathNamesTheLine) {
    EXPECT_EQ(gpioValuePath(63), "/sys/class/gpio/gpio63/value");
    EXPECT_EQ(gpioValuePath(70), "/sys/class/gpio/gpio70/value");
}

TEST_F(Scratch, ReadValueRereadsTheFirstByte) {
    std::string path = file("value", "1\n");
    GpioInput input(path);
    EXPECT_EQ(input.readValue(), 0x31u);
    EXPECT_EQ(input.readValue(), 0x31u);  // from the start again, not the line feed
    file("value", "0\n");
    EXPECT_EQ(input.readValue(), 0x30u);
    file("value", "");
    EXPECT_EQ(input.readValue(), 0u);
}

TEST_F(Scratch, UnusableValueFilesAreSystemErrors) {
    EXPECT_EQ(messageOf<std::system_error>([&] { GpioInput input(path() + "/absent"); }),
              "Unable to open GPIO file. " + path() + "/absent: No such file or directory");
    size_t before = openDescriptors();
    EXPECT_EQ(messageOf<std::system_error>([&] { GpioInput input(path()); }),
              "Unable to read GPIO file. " + path() + ": Is a directory");
    EXPECT_EQ(openDescriptors(), before);
}

TEST(TimerSettingTest, PeriodSplitsIntoSecondsAndNanoseconds) {
    itimerspec setting = timerSetting(1500, true);
    EXPECT_EQ(setting.it_value.tv_sec, 1);
    EXPECT_EQ(setting.it_value.tv_nsec, 500000000);
    EXPECT_EQ(setting.it_interval.tv_sec, 1);
    EXPECT_EQ(setting.it_interval.tv_nsec, 500000000);

    setting = timerSetting(60000, false);
    EXPECT_EQ(setting.it_value.tv_sec, 60);
    EXPECT_EQ(setting.it_value.tv_nsec, 0);
    EXPECT_EQ(setting.it_interval.tv_sec, 0);
    EXPECT_EQ(setting.it_interval.tv_nsec, 0);

    setting = timerSetting(999, true);
    EXPECT_EQ(setting.it_value.tv_sec, 0);
    EXPECT_EQ(setting.it_value.tv_nsec, 999000000);
}

bool expiresWithin(const IntervalTimer& timer, std::chrono::milliseconds limit) {
    pollfd entry{timer.descriptor(), POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(limit.count())) == 1;
}

TEST(IntervalTimerTest, StartsDisarmedAndCountsMissedPeriods) {
    IntervalTimer timer(100, true);
    EXPECT_FALSE(expiresWithin(timer, 150ms));
    timer.arm();
    std::this_thread::sleep_for(250ms);
    EXPECT_GE(timer.readExpirations(), 2u);
    EXPECT_EQ(timer.readExpirations(), 1u);  // counted afresh, blocking for the next one
    timer.disarm();
    timer.disarm();  // stopping a stopped timer succeeds
    EXPECT_FALSE(expiresWithin(timer, 150ms));
}

TEST(IntervalTimerTest, OneShotFiresOnceAndRearmingRestartsThePeriod) {
    IntervalTimer timer(300, false);
    timer.arm();
    std::this_thread::sleep_for(200ms);
    timer.arm();  // restarts the full 300 ms
    EXPECT_FALSE(expiresWithin(timer, 150ms));
    EXPECT_TRUE(expiresWithin(timer, 1000ms));
    EXPECT_EQ(timer.readExpirations(), 1u);
    EXPECT_FALSE(expiresWithin(timer, 400ms));
}

// Each owner gets descriptor 0 while standard input is closed, and closes it like any other.
TEST_F(Scratch, DescriptorZeroIsClosedToo) {
    std::string path = file("value", "1\n");
    const std::function<int()> owners[] = {
        [] { return IntervalTimer(100, true).descriptor(); },
        [&] { return GpioInput(path).descriptor(); },
        [&] { return CIDSocket("127.0.0.1", 5000).descriptor(); },
        [&] { return I2CDisplay::adopt(open(path.c_str(), O_RDONLY)), 0; },
    };
    int input = dup(STDIN_FILENO);
    for (const auto& own : owners) {
        close(STDIN_FILENO);
        EXPECT_EQ(own(), 0);
        EXPECT_EQ(fcntl(STDIN_FILENO, F_GETFD), -1) << "descriptor 0 left open";
    }
    dup2(input, STDIN_FILENO);
    close(input);
}

}  // namespace
