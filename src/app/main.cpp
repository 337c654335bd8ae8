#include <cstdio>

#include "app/update_command.h"

int main(int argc, char** argv)
{
    // Technicians tee the output into a log: every line and every progress
    // redraw must reach a pipe or a file the moment it is printed.
    // Should this fail, output stays buffered and still arrives in order.
    (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
    return run_update(argc, argv);
}
