#pragma once

// Puts the process's standard output (file descriptor 1) on another sink for
// as long as the object lives: the places a technician's run sends its
// progress lines to.

#include <string>
#include <thread>

enum class SinkKind { null_device, file, pipe, terminal };

const char* sink_name(SinkKind kind);

class StdoutSink {
public:
    explicit StdoutSink(SinkKind kind);
    ~StdoutSink();
    StdoutSink(const StdoutSink&) = delete;
    StdoutSink& operator=(const StdoutSink&) = delete;

    // Empty when the sink is in place.
    const std::string& error() const { return error_; }

private:
    // A pipe or a terminal blocks its writer once the kernel's buffer is
    // full; a reader at the other end takes everything, as `tee` or a
    // terminal emulator would.
    void drain(int fd);

    int saved_stdout_ = -1;
    int reader_ = -1;
    std::thread drainer_;
    std::string file_path_;
    std::string error_;
};
