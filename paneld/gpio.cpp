#include "gpio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The first byte of the file, or -1 with errno set. A read that yields no byte gives 0.
int firstByte(int descriptor) {
    lseek(descriptor, 0, SEEK_SET);
    uint8_t value = 0;
    return read(descriptor, &value, 1) < 0 ? -1 : value;
}

}  // namespace

std::string gpioValuePath(unsigned line) {
    return "/sys/class/gpio/gpio" + std::to_string(line) + "/value";
}

GpioInput::GpioInput(unsigned line) : GpioInput(gpioValuePath(line)) {}

GpioInput::GpioInput(const std::string& path)
    : descriptor_(open(path.c_str(), O_RDONLY)), path_(path) {
    if (descriptor_.fd() < 0) {
        throwSystemError(errno, "Unable to open GPIO file. " + path_);
    }
    if (firstByte(descriptor_.fd()) < 0) {  // the member closes the file as the exception leaves
        int error = errno;
        throwSystemError(error, "Unable to read GPIO file. " + path_);
    }
}

unsigned GpioInput::readValue() {
    int value = firstByte(descriptor_.fd());
    if (value < 0) {
        throwSystemError(errno, "Unable to read GPIO file. " + path_);
    }
    return static_cast<unsigned>(value);
}
