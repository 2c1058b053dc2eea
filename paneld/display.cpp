#include "display.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

size_t textFrame(const std::string& text, uint8_t (&frame)[DISPLAY_FRAME_SIZE]) {
    memset(frame, 0, sizeof frame);
    frame[0] = 0x01;
    size_t n = std::min(text.size(), DISPLAY_MAX_TEXT);
    memcpy(frame + 1, text.data(), n);
    return n + 2;
}

I2CDisplay::I2CDisplay() : I2CDisplay(DISPLAY_DEVICE) {}

I2CDisplay::I2CDisplay(const char* path) : descriptor_(open(path, O_RDWR)), device_(path) {
    if (descriptor_.fd() < 0) {
        throwSystemError(errno, "Unable to open I2C device. " + device_);
    }
    if (ioctl(descriptor_.fd(), I2C_SLAVE, DISPLAY_I2C_ADDRESS) < 0) {
        int error = errno;  // the member closes the device as the exception leaves
        char address[8];
        snprintf(address, sizeof address, "0x%02X", DISPLAY_I2C_ADDRESS);
        throwSystemError(error, "Unable to set I2C slave address. " + device_ + " " + address);
    }
}

void I2CDisplay::writeText(const std::string& text) {
    uint8_t frame[DISPLAY_FRAME_SIZE];
    size_t length = textFrame(text, frame);
    ssize_t written = write(descriptor_.fd(), frame, length);
    if (written < 0) {
        throwSystemError(errno, "Unable to write to display. " + device_);
    }
    if (static_cast<size_t>(written) != length) {
        throw std::runtime_error("Did not write the expected value. " + device_);
    }
}

int I2CDisplay::writeCommand(uint8_t command) {
    ssize_t written = write(descriptor_.fd(), &command, 1);
    if (written < 0) {
        throwSystemError(errno, "Unable to write command to display. " + device_);
    }
    if (written != 1) {
        throw std::runtime_error("Write returned wrong byte count for command. " + device_);
    }
    return 1;
}
