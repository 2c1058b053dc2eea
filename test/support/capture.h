// Test support: what code that writes to a FILE* wrote, through a memory stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

class Capture {
  public:
    Capture() : stream_(open_memstream(&data_, &size_)) {
        if (stream_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Capture() {
        close();
        free(data_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // The stream to write to, until text() closes it.
    FILE* stream() const { return stream_; }
    // Closes the stream and returns all that was written to it.
    std::string text() {
        close();
        return std::string(data_, size_);
    }

  private:
    void close() {
        if (stream_ != nullptr) {
            fclose(stream_);
            stream_ = nullptr;
        }
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

// Runs `write` with a memory stream and returns what it wrote there.
template <typename Write>
std::string captured(Write write) {
    Capture capture;
    write(capture.stream());
    return capture.text();
}
