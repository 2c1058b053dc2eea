// Socket: owns one descriptor of callrelayd, closed by the destructor.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

class Socket {
  public:
    // Opens a new socket; fd() is negative when socket() failed (errno tells why).
    Socket(int domain, int type, int protocol) : fd_(::socket(domain, type, protocol)) {}
    // Takes over a descriptor that is already open, such as one returned by accept; -1 for none.
    explicit Socket(int fd = -1) noexcept : fd_(fd) {}
    ~Socket() { close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
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
