#pragma once

#include <string>

// Captures everything written to standard output (file descriptor 1), byte
// for byte, carriage returns included, for the life of the object.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // What was written since the last take().
    std::string take();

private:
    int saved_fd_ = -1;
    int capture_fd_ = -1;
    long consumed_ = 0;
};
