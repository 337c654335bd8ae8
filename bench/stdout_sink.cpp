#include "stdout_sink.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* sink_name(SinkKind kind)
{
    switch (kind) {
    case SinkKind::null_device: return "null";
    case SinkKind::file: return "file";
    case SinkKind::pipe: return "pipe";
    case SinkKind::terminal: return "terminal";
    }
    return "?";
}

StdoutSink::StdoutSink(SinkKind kind)
{
    int writer = -1;
    switch (kind) {
    case SinkKind::null_device: writer = ::open("/dev/null", O_WRONLY | O_CLOEXEC); break;
    case SinkKind::file: {
        const char* dir = std::getenv("TMPDIR");
        std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                           "/update-bench-stdout-XXXXXX";
        writer = ::mkstemp(path.data());
        if (writer >= 0)
            file_path_ = path;
        break;
    }
    case SinkKind::pipe: {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            reader_ = ends[0];
            writer = ends[1];
        }
        break;
    }
    case SinkKind::terminal: {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0) {
            reader_ = master;
            writer = slave;
        }
        break;
    }
    }
    if (writer < 0) {
        error_ =
            std::string("cannot open the ") + sink_name(kind) + " sink: " + std::strerror(errno);
        return;
    }
    if (reader_ >= 0)
        drainer_ = std::thread([this] { drain(reader_); });
    std::fflush(stdout);
    saved_stdout_ = ::dup(STDOUT_FILENO);
    ::dup2(writer, STDOUT_FILENO);
    ::close(writer);
}

StdoutSink::~StdoutSink()
{
    std::fflush(stdout);
    if (saved_stdout_ >= 0) {
        // The last writer goes away: the reader sees the end of the pipe, or
        // EIO on the terminal's master side.
        ::dup2(saved_stdout_, STDOUT_FILENO);
        ::close(saved_stdout_);
    }
    if (drainer_.joinable())
        drainer_.join();
    if (reader_ >= 0)
        ::close(reader_);
    if (!file_path_.empty())
        ::unlink(file_path_.c_str());
}

void StdoutSink::drain(int fd)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        return;
    }
}
