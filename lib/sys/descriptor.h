// Descriptor: owns one open file descriptor of the process and closes it when it goes.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

class Descriptor {
  public:
    // Takes over `fd`, an open descriptor (0 included), or -1 for none.
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }

    // The descriptor, negative when none is held.
    int fd() const { return fd_; }
    // Gives the descriptor up without closing it.
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor when one is held; errno is left as it was.
    void close() noexcept {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
            fd_ = -1;
        }
    }

  private:
    int fd_;
};

// Throws std::system_error for a failed system call that left `error`, described by `text`.
[[noreturn]] inline void throwSystemError(int error, const std::string& text) {
    throw std::system_error(error, std::system_category(), text);
}
