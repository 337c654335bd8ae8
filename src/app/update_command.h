#pragma once

// The whole update run: argument check, device, image, preparation,
// programming, verification. Returns the process exit status (0 or -1).
int run_update(int argc, char** argv);
