// Runs fuzz inputs (files, or every file of a directory) once through a
// harness, for compilers without libFuzzer and as a regression test of the
// committed corpus in every build.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static bool runFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    size_t count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto &entry : fs::directory_iterator(arg)) {
                if (!entry.is_regular_file()) continue;
                ok = runFile(entry.path()) && ok;
                ++count;
            }
        } else {
            ok = runFile(arg) && ok;
            ++count;
        }
    }
    // Replaying nothing means a missing corpus, which must not pass quietly.
    std::fprintf(stderr, "%zu inputs replayed\n", count);
    return ok && count > 0 ? 0 : 1;
}
