// The character display on I2C bus 0: whole text frames, written, never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "descriptor.h"

constexpr const char* DISPLAY_DEVICE = "/dev/i2c-0";
constexpr unsigned DISPLAY_I2C_ADDRESS = 0x23;
constexpr size_t DISPLAY_MAX_TEXT = 36;
constexpr size_t DISPLAY_FRAME_SIZE = DISPLAY_MAX_TEXT + 2;

// Fills `frame` with the text frame for `text`: 0x01, at most 36 bytes of the text, 0x00. The
// frame length (text bytes + 2); a longer text loses its tail.
size_t textFrame(const std::string& text, uint8_t (&frame)[DISPLAY_FRAME_SIZE]);

// Owns the I2C device descriptor with the display's slave address selected. Every error it
// throws names the device after the fixed text, e.g. "Unable to open I2C device. /dev/i2c-0".
class I2CDisplay {
  public:
    // Opens /dev/i2c-0 and selects address 0x23; throws std::system_error "Unable to open I2C
    // device." or "Unable to set I2C slave address." (closing the device first).
    I2CDisplay();
    // The same for another device path.
    explicit I2CDisplay(const char* path);
    // Takes over an already prepared descriptor (a test's pipe).
    static I2CDisplay adopt(int descriptor) { return I2CDisplay(descriptor, 0); }

    // Sends one text frame in one write; throws std::system_error "Unable to write to
    // display." or std::runtime_error "Did not write the expected value." on a short write.
    void writeText(const std::string& text);
    // Sends one command byte (0x03 or 0x00 on this display); always 1, or throws.
    int writeCommand(uint8_t command);

  private:
    I2CDisplay(int descriptor, int)
        : descriptor_(descriptor), device_("descriptor " + std::to_string(descriptor)) {}
    Descriptor descriptor_;
    std::string device_;  // named in the errors
};
