#include "state/TextFile.h"

#include <cstdio>

bool ReadWholeFile(const std::string& name, std::string* text) {
    FILE* file = std::fopen(name.c_str(), "rb");
    if (!file)
        return false;
    text->clear();
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text->append(buffer, n);
    std::fclose(file);
    return true;
}

bool ForEachLine(const std::string& name, const std::function<void(const std::string&)>& onLine) {
    std::string text;
    if (!ReadWholeFile(name, &text))
        return false;
    size_t begin = 0;
    std::string line;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        line.assign(text, begin, end - begin);
        onLine(line);
        begin = end + 1;
    }
    return true;
}
