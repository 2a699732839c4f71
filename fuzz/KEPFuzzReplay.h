// Replay of a fuzz target's inputs without a fuzzing engine, so that a seed corpus runs as an
// ordinary test: every file given, and every regular file of every directory given, in name order,
// goes through LLVMFuzzerTestOneInput once. An input that cannot be read, or no input at all, ends
// the program with a failure.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Returns the number of inputs replayed.
inline std::size_t ReplayInputs(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code notADirectory;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], notADirectory)) {
            files.push_back(entry.path());
        }
        if (notADirectory) {
            files.emplace_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no inputs found (usage: <corpus file or directory>...)\n");
        std::exit(1);
    }
    std::sort(files.begin(), files.end());
    for (const std::filesystem::path& name : files) {
        std::ifstream file(name, std::ios::binary);
        if (!file.is_open()) {
            std::fprintf(stderr, "cannot read %s\n", name.c_str());
            std::exit(1);
        }
        const std::string bytes((std::istreambuf_iterator<char>(file)), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return files.size();
}
