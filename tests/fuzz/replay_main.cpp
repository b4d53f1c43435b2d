// Replays a fuzz target's corpus as a plain test: every file in the folder is fed once, and
// what it gave must be the verdict that VERDICTS ("seed<TAB>verdict" lines) writes down for it.
// The verdicts live outside the corpus folder: libFuzzer takes every file there as input.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR VERDICTS\n", argv[0]);
        return 2;
    }
    std::map<std::string, std::string> expected;
    std::ifstream verdicts(argv[2]);
    for (std::string line; std::getline(verdicts, line);) {
        size_t tab = line.find('\t');
        if (tab != std::string::npos) expected[line.substr(0, tab)] = line.substr(tab + 1);
    }
    int count = 0, wrong = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        fuzzcheck::verdict = "(no verdict)";
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++count;
        const std::string seed = entry.path().filename();
        auto known = expected.find(seed);
        if (known == expected.end() || known->second != fuzzcheck::verdict) {
            std::printf("%s: expected %s\n  it gives: %s\t%s\n", seed.c_str(),
                        known == expected.end() ? "(no line)" : known->second.c_str(), seed.c_str(),
                        fuzzcheck::verdict.c_str());
            ++wrong;
        }
        if (known != expected.end()) expected.erase(known);
    }
    for (const auto& [seed, verdict] : expected) {
        std::printf("%s: a verdict for no seed\n", seed.c_str());
        ++wrong;
    }
    std::printf("replayed %d inputs from %s, %d not as written down\n", count, argv[1], wrong);
    return count > 0 && wrong == 0 ? 0 : 1;
}
