#include "PublishHelpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "TestFolder.h"
#include "base/Sha256.h"
#include "state/TextFile.h"

namespace fs = std::filesystem;

void MakeBuild(const std::string& dir, const std::map<std::string, std::string>& files) {
    for (const auto& [name, content] : files)
        WriteFile(dir + "/" + name, content);
}

std::map<std::string, FilesToPatch::File> ReadManifest(const std::string& root,
                                                       const std::string& buildFolder) {
    FilesToPatch manifest;
    ForEachLine(root + "/lanternvale_patch/" + buildFolder + "current2.txt",
                [&](const std::string& line) { manifest.ParseLine(line); });
    std::map<std::string, FilesToPatch::File> byName;
    for (const FilesToPatch::File& file : manifest.files)
        byName[file.name] = file;
    return byName;
}

std::string Snapshot(const std::string& root) {
    std::set<std::string> lines;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string line = fs::relative(it->path(), root).string();
        std::error_code kind;
        // Appended piece by piece: GCC 12 at -O3 misreads a literal before
        // a temporary string as an overlapping copy.
        if (it->is_symlink(kind)) {
            line += " -> ";
            line += fs::read_symlink(it->path(), kind).string();
        } else if (it->is_regular_file(kind)) {
            line += ' ';
            line += std::to_string(it->file_size(kind));
            line += ' ';
            line += Sha256Hex(ReadFile(it->path().string()));
        }
        lines.insert(line);
    }
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

lvpublish::PublishReport PublishOrFail(const std::string& build, const std::string& root,
                                       const std::string& gameExe, const std::string& testClient) {
    lvpublish::PublishOutcome outcome =
        lvpublish::Publish({build, root, "", gameExe, testClient, gameExe.empty()});
    EXPECT_TRUE(outcome.ok) << outcome.error;
    return outcome.report;
}
