// Runs a fuzz target's checks on the files given (each file of a folder given), once each, the
// way libFuzzer would run them: so that CTest replays every input of fuzz/corpus/ on every build,
// with any compiler, and an input that once found a fault keeps guarding against it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::filesystem::path> inputsOf(int argc, char **argv)
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path given(argv[i]);
        if (!std::filesystem::is_directory(given)) {
            inputs.push_back(given);
            continue;
        }
        for (const auto &entry : std::filesystem::directory_iterator(given))
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
    }
    return inputs;
}

} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::filesystem::path> inputs = inputsOf(argc, argv);
    LLVMFuzzerInitialize(&argc, &argv);
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    for (const std::filesystem::path &input : inputs) {
        std::ifstream file(input, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "can not read %s\n", input.string().c_str());
            return 2;
        }
        // A failed check aborts, naming the input on the line before.
        std::fprintf(stderr, "%s\n", input.string().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    std::printf("%zu inputs passed\n", inputs.size());
    return 0;
}
