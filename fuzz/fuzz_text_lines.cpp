// A text file of any content: the line reader hands back exactly the file,
// split at its line feeds, with or without a byte limit; the first-line read
// agrees with it.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzFolder.h"
#include "state/TextFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EnterFuzzFolder();
    WriteInput("lines.txt", data, size);
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> lines;
    if (!ForEachLine("lines.txt", [&](const std::string& line) { lines.push_back(line); }))
        std::abort();
    std::string joined;
    for (const std::string& line : lines)
        joined += line + "\n";
    if (joined != input && joined != input + "\n")
        std::abort();

    std::vector<std::string> bounded;
    bool read = ForEachLine(
        "lines.txt", [&](const std::string& line) { bounded.push_back(line); }, 64);
    if (read != (size <= 64) || (read && bounded != lines))
        std::abort();

    std::string first;
    bool haveFirst = ReadFirstLine("lines.txt", 32, &first);
    bool expectFirst = !lines.empty() && lines[0].size() <= 32;
    if (haveFirst != expectFirst || (haveFirst && first != lines[0]))
        std::abort();
    return 0;
}
