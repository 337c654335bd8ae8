// bench_pace: runs a command with its standard output on a pipe, a terminal
// or a file, notes when each progress line of the programming and
// verification passes arrives, and reports the passes' blocks per second and
// the command's peak resident memory.
//
//   bench_pace --stdout=pipe|terminal|file --log=FILE -- COMMAND [ARGS...]
//
// Prints "key value" lines: status, program_blocks, verify_blocks, blocks,
// seconds, blocks_per_second, max_rss_kib, cpu_seconds (the whole run's),
// loop_cpu_seconds (the timed span's), and rss_anon_kib and rss_file_kib at
// the last block.
// The output of the command goes to FILE. The timed span runs from the
// first block's progress line to the last one's, as the reference loop times
// itself.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view PROGRAM_LINE = "dfu: program device ... block ";
constexpr std::string_view VERIFY_LINE = "dfu: verifying device ... block ";
// How often a file is looked at for new output; a bound on the timing error
// of a file run, not a cost the command pays.
constexpr auto FILE_POLL = std::chrono::microseconds(500);

// CPU time the command has used so far, from /proc; the kernel counts it in
// clock ticks.
double cpu_seconds(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    std::FILE* stat = std::fopen(path.c_str(), "r");
    if (stat == nullptr)
        return 0;
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[n] = '\0';
    // Fields after the command name, which ends with the last ')': state is
    // the 3rd field, utime and stime the 14th and 15th.
    const char* p = std::strrchr(text, ')');
    if (p == nullptr)
        return 0;
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) != 2)
        return 0;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A "Name:   1234 kB" line of /proc/PID/status, in KiB; -1 when absent.
long status_kib(pid_t pid, const char* name)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE* status = std::fopen(path.c_str(), "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long kib = -1;
    const size_t length = std::strlen(name);
    while (kib < 0 && std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, name, length) == 0)
            kib = std::strtol(line + length, nullptr, 10);
    std::fclose(status);
    return kib;
}

struct Progress {
    pid_t pid = 0;
    std::string segment;  // what was drawn since the last carriage return
    long program_blocks = 0;
    long verify_blocks = 0;
    Clock::time_point first;
    Clock::time_point last;
    // The command's CPU time at the first block and at the last block of the
    // verification pass, which has as many blocks as the programming pass.
    double first_cpu = 0;
    double last_cpu = 0;
    // Resident memory once the whole image has gone through twice: anonymous
    // (heap, stack) apart from file-backed (the program and its libraries).
    long rss_anon_kib = -1;
    long rss_file_kib = -1;

    void feed(const char* data, size_t length, Clock::time_point now)
    {
        for (size_t i = 0; i < length; ++i) {
            const char c = data[i];
            if (c == '\r' || c == '\n') {
                segment.clear();
                continue;
            }
            segment.push_back(c);
            if (c == 'd' || c == 't')
                complete(now);
        }
    }

    void complete(Clock::time_point now)
    {
        const std::string_view text = segment;
        const bool program = text.starts_with(PROGRAM_LINE) && text.ends_with(" flushed");
        const bool verify = text.starts_with(VERIFY_LINE) && text.ends_with(" sent");
        if (!program && !verify)
            return;
        const long block = std::strtol(
            segment.c_str() + (program ? PROGRAM_LINE : VERIFY_LINE).size(), nullptr, 10);
        if (program) {
            if (block == 1) {
                first = now;
                first_cpu = cpu_seconds(pid);
            }
            program_blocks = block;
        } else {
            verify_blocks = block;
            if (block == program_blocks) {
                last_cpu = cpu_seconds(pid);
                rss_anon_kib = status_kib(pid, "RssAnon:");
                rss_file_kib = status_kib(pid, "RssFile:");
            }
        }
        last = now;
    }
};

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_pace --stdout=pipe|terminal|file --log=FILE -- COMMAND [ARGS...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string_view sink;
    const char* log_path = nullptr;
    int first = argc;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            first = i + 1;
            break;
        }
        if (arg.starts_with("--stdout="))
            sink = arg.substr(9);
        else if (arg.starts_with("--log="))
            log_path = argv[i] + 6;
        else
            return usage();
    }
    if (first >= argc || log_path == nullptr ||
        (sink != "pipe" && sink != "terminal" && sink != "file"))
        return usage();

    const int log = ::open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        std::perror(log_path);
        return 1;
    }
    int reader = -1;
    int writer = -1;
    if (sink == "pipe") {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return 1;
        reader = ends[0];
        writer = ends[1];
    } else if (sink == "terminal") {
        if (::openpty(&reader, &writer, nullptr, nullptr, nullptr) != 0)
            return 1;
        ::fcntl(reader, F_SETFD, FD_CLOEXEC);
        ::fcntl(writer, F_SETFD, FD_CLOEXEC);
    } else {
        // The command writes the log itself; this side reads it as it grows.
        writer = ::dup(log);
        reader = ::open(log_path, O_RDONLY | O_CLOEXEC);
    }

    const pid_t child = ::fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        ::dup2(writer, STDOUT_FILENO);
        ::execvp(argv[first], argv + first);
        std::perror(argv[first]);
        std::_Exit(127);
    }
    ::close(writer);

    Progress progress;
    progress.pid = child;
    char buffer[65536];
    int status = 0;
    rusage usage{};
    bool ended = false;
    for (;;) {
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        const Clock::time_point now = Clock::now();
        if (n > 0) {
            progress.feed(buffer, static_cast<size_t>(n), now);
            if (sink != "file" && ::write(log, buffer, static_cast<size_t>(n)) != n)
                return 1;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A pipe or a terminal ends when the command does (EOF, or EIO on
        // the terminal's master side); a file is only caught up with.
        if (sink != "file" || ended)
            break;
        if (::wait4(child, &status, WNOHANG, &usage) == child)
            ended = true;
        else
            std::this_thread::sleep_for(FILE_POLL);
    }
    if (!ended && ::wait4(child, &status, 0, &usage) != child)
        return 1;

    const long blocks = progress.program_blocks - 1 + progress.verify_blocks;
    const double seconds = std::chrono::duration<double>(progress.last - progress.first).count();
    std::printf("status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    std::printf("program_blocks %ld\nverify_blocks %ld\nblocks %ld\n", progress.program_blocks,
                progress.verify_blocks, blocks);
    std::printf("seconds %.6f\nblocks_per_second %.1f\n", seconds,
                seconds > 0 ? static_cast<double>(blocks) / seconds : 0.0);
    std::printf("max_rss_kib %ld\n", usage.ru_maxrss);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("cpu_seconds %.6f\n", cpu);
    std::printf("loop_cpu_seconds %.6f\n", progress.last_cpu - progress.first_cpu);
    std::printf("rss_anon_kib %ld\nrss_file_kib %ld\n", progress.rss_anon_kib,
                progress.rss_file_kib);
    return 0;
}
