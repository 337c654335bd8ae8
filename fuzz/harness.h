#pragma once

// What both fuzz targets share: a process put back to the state main()
// finds it in before every run, a scratch image file, and the run itself.

#include <cstdint>
#include <string>
#include <vector>

// Sends the updater's output to /dev/null unless UPDATE_FUZZ_VERBOSE is set
// (set it to see the transcript of one reproduced input).
void quiet_stdout();

// The one device zeroed (its image stream closed), tags from 1, no transport.
void reset_process_state();

// Writes the image to a file of this process and returns its path.
const std::string& write_image(const std::vector<uint8_t>& image);

// `update <path>` as main() would run it.
int run_update_on(const std::string& path);
