#include "stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    saved_fd_ = ::dup(STDOUT_FILENO);
    char path[] = "/tmp/update-stdout-XXXXXX";
    capture_fd_ = ::mkstemp(path);
    if (saved_fd_ < 0 || capture_fd_ < 0)
        std::abort();
    ::unlink(path);
    ::dup2(capture_fd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    ::dup2(saved_fd_, STDOUT_FILENO);
    ::close(saved_fd_);
    ::close(capture_fd_);
}

std::string StdoutCapture::take()
{
    std::fflush(stdout);
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::pread(capture_fd_, chunk, sizeof chunk, consumed_);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
        consumed_ += n;
    }
    return text;
}
