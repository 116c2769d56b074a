#include "TestFolder.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string MakeTemp() {
    std::string pattern = (fs::temp_directory_path() / "lvtest-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    return buffer.data();
}

}  // namespace

TestFolder::TestFolder() : path_(MakeTemp()), previous_(fs::current_path().string()) {
    fs::current_path(path_);
}

TestFolder::~TestFolder() {
    std::error_code ec;
    fs::current_path(previous_, ec);
    RemoveTree(path_);
}

TempDir::TempDir() : path_(MakeTemp()) {}

TempDir::~TempDir() {
    RemoveTree(path_);
}

void WriteFile(const std::string& name, const std::string& content) {
    fs::path p(name);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + name);
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& name) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(name, ec));
}

void MakeDirs(const std::string& path) {
    fs::create_directories(path);
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    // Restore permissions a test may have taken away so the tree can go.
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}
