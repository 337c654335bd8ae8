// Runs a fuzz target over saved inputs without libFuzzer: every argument is
// a file, or a directory whose files are all run. Any input that breaks the
// target's property aborts the process, so the test fails.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run_file(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    std::fprintf(stderr, "input %s (%zu bytes)\n", path.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (!std::filesystem::exists(path)) {
            std::fprintf(stderr, "%s: no such file or directory\n", path.c_str());
            return 1;
        }
        if (!std::filesystem::is_directory(path)) {
            run_file(path);
            ++inputs;
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files)
            run_file(file);
        inputs += static_cast<int>(files.size());
    }
    std::fprintf(stderr, "%d inputs ran\n", inputs);
    return 0;
}
