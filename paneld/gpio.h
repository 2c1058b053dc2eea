// One GPIO input line read through its sysfs value file.
#pragma once

#include <cstdint>
#include <string>

#include "descriptor.h"

// "/sys/class/gpio/gpio<line>/value".
std::string gpioValuePath(unsigned line);

// Owns the line's value file, open read-only. The descriptor signals POLLPRI when the line
// changes (the line must already be exported, an input, and set to report edges). Every error
// it throws names the file after the fixed text, e.g. "Unable to open GPIO file. <path>".
class GpioInput {
  public:
    // Opens the value file of `line` and reads it once; throws std::system_error
    // "Unable to open GPIO file." or "Unable to read GPIO file.".
    explicit GpioInput(unsigned line);
    // The same for a value file at `path`.
    explicit GpioInput(const std::string& path);

    // The first byte of the value file, re-read from its start ('1' is 0x31). A file that
    // yields no byte reads as 0.
    unsigned readValue();

    int descriptor() const { return descriptor_.fd(); }

  private:
    Descriptor descriptor_;
    std::string path_;  // named in the errors
};
