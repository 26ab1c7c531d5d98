// A fuzz target without libFuzzer: runs it once on every file named (a folder: on each file in it, by name),
// so that the seed corpora serve as tests where there is no libFuzzer (gcc, the Windows cross-build).
// A target that finds a fault aborts, as under libFuzzer.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
#ifdef INI4ZAV_FUZZ_INITIALIZE
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
#endif

namespace {

std::vector<std::filesystem::path> Inputs(const std::filesystem::path& named) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(named)) return {named};
    for (const auto& entry : std::filesystem::directory_iterator(named))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main(int argc, char** argv) {
#ifdef INI4ZAV_FUZZ_INITIALIZE
    LLVMFuzzerInitialize(&argc, &argv);
#endif
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const auto& file : Inputs(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
                return 2;
            }
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++runs;
        }
    }
    std::printf("%zu inputs run\n", runs);
    return runs > 0 ? 0 : 1; // no input at all: the corpus went missing
}
