#include "TestFolder.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// A new folder under a random name (on every platform the tests run on):
// create_directory never takes over an existing folder.
std::string MakeTemp() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "lvtest-%08x", static_cast<unsigned>(random()));
        fs::path path = fs::temp_directory_path() / name;
        std::error_code ec;
        if (fs::create_directory(path, ec))
            return path.string();
    }
    throw std::runtime_error("no temporary folder");
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
