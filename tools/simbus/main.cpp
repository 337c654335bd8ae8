// simbus: runs a command on an emulated USB bus that holds the simulated
// bootloader, and exits with the command's status.
//
//   simbus [scenario options] -- build/update image.bin
//   simbus make-image FILE SIZE     the test image pattern, SIZE bytes
//   simbus fresh-flash FILE         the flash of a device that was never updated

#include <glib-unix.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bus_scenario.h"
#include "emulated_bus.h"

namespace {

constexpr const char* PRELOAD = "libumockdev-preload.so.0";
constexpr int USAGE_ERROR = 2;
constexpr int SETUP_ERROR = 125;

struct Run {
    GMainLoop* loop = nullptr;
    GPid child = 0;
    int status = 0;
    bool child_ended = false;
};

void usage()
{
    std::fprintf(stderr,
                 "usage: simbus [options] -- COMMAND [ARGS...]\n"
                 "       simbus make-image FILE SIZE\n"
                 "       simbus fresh-flash FILE\n"
                 "options:\n%s",
                 simbus::scenario_usage());
}

// umockdev redirects /sys, /dev and the uevent socket of a process through a
// preloaded library; this process needs it as much as the command does (the
// uevents it sends go through it), so it starts itself again with it.
void ensure_preload(char** argv)
{
    const char* current = std::getenv("LD_PRELOAD");
    if (current != nullptr && std::strstr(current, "libumockdev-preload") != nullptr)
        return;
    std::string preload = PRELOAD;
    if (current != nullptr && *current != '\0')
        preload += std::string(":") + current;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("simbus: cannot restart with the umockdev preload library");
    std::exit(SETUP_ERROR);
}

bool preload_mapped()
{
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return false;
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps) != nullptr)
        found = std::strstr(line, "libumockdev-preload") != nullptr;
    std::fclose(maps);
    return found;
}

void on_child_exit(GPid pid, gint status, gpointer data)
{
    auto* run = static_cast<Run*>(data);
    if (WIFEXITED(status))
        run->status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run->status = 128 + WTERMSIG(status);
    run->child_ended = true;
    g_spawn_close_pid(pid);
    g_main_loop_quit(run->loop);
}

// The command gets the signal; the bus stays up until it has ended, and the
// testbed's directory goes with the bus.
template <int SIGNAL>
gboolean forward_signal(gpointer data)
{
    auto* run = static_cast<Run*>(data);
    if (run->child > 0 && !run->child_ended)
        kill(run->child, SIGNAL);
    return G_SOURCE_CONTINUE;
}

int tool_command(int argc, char** argv)
{
    const std::string command = argv[1];
    if (command == "make-image" && argc == 4) {
        char* end = nullptr;
        const unsigned long long size = std::strtoull(argv[3], &end, 10);
        if (*end != '\0')
            return USAGE_ERROR;
        return simbus::write_image(argv[2], size) ? 0 : 1;
    }
    if (command == "fresh-flash" && argc == 3)
        return simbus::write_flash(sim::Bootloader{}, argv[2]) ? 0 : 1;
    usage();
    return USAGE_ERROR;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        usage();
        return 0;
    }
    if (argc > 1 && std::strncmp(argv[1], "--", 2) != 0)
        return tool_command(argc, argv);

    simbus::Scenario scenario;
    int first = 0;
    std::string error;
    if (!simbus::parse_scenario(argc, argv, first, scenario, error) || first >= argc) {
        std::fprintf(stderr, "simbus: %s\n", error.empty() ? "no command given" : error.c_str());
        usage();
        return USAGE_ERROR;
    }

    ensure_preload(argv);
    if (!preload_mapped()) {
        std::fprintf(stderr, "simbus: %s is not loaded; install the umockdev package\n", PRELOAD);
        return SETUP_ERROR;
    }

    int status = SETUP_ERROR;
    {
        simbus::EmulatedBus bus(scenario);
        if (!bus.error().empty()) {
            std::fprintf(stderr, "simbus: cannot set up the bus: %s\n", bus.error().c_str());
            return SETUP_ERROR;
        }

        Run run;
        run.loop = g_main_loop_new(nullptr, FALSE);
        std::vector<char*> command(argv + first, argv + argc);
        command.push_back(nullptr);
        GError* failure = nullptr;
        const auto flags = static_cast<GSpawnFlags>(
            G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH | G_SPAWN_CHILD_INHERITS_STDIN);
        if (!g_spawn_async(nullptr, command.data(), nullptr, flags, nullptr, nullptr, &run.child,
                           &failure)) {
            std::fprintf(stderr, "simbus: cannot run %s: %s\n", command[0], failure->message);
            g_error_free(failure);
            g_main_loop_unref(run.loop);
            return SETUP_ERROR;
        }
        g_child_watch_add(run.child, on_child_exit, &run);
        g_unix_signal_add(SIGINT, forward_signal<SIGINT>, &run);
        g_unix_signal_add(SIGTERM, forward_signal<SIGTERM>, &run);
        g_unix_signal_add(SIGHUP, forward_signal<SIGHUP>, &run);
        g_main_loop_run(run.loop);
        g_main_loop_unref(run.loop);
        status = run.status;

        if (!scenario.flash_out.empty() && scenario.bootloader &&
            !bus.write_flash(scenario.flash_out)) {
            std::fprintf(stderr, "simbus: cannot write %s\n", scenario.flash_out.c_str());
            status = SETUP_ERROR;
        }
    }
    return status;
}
