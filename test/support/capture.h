// Test support: what code that writes to a FILE* wrote, through a memory stream.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class Capture {
  public:
    Capture() : stream_(open_memstream(&data_, &size_)) {}
    ~Capture() {
        close();
        free(data_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // The stream to write to; null when no memory stream could be opened.
    FILE* stream() const { return stream_; }
    // Closes the stream and returns all that was written to it.
    std::string text() {
        close();
        return data_ == nullptr ? std::string() : std::string(data_, size_);
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
