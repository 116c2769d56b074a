#pragma once
// A real temporary game folder that is the process's current folder for the
// life of the object, as it is for the launcher.

#include <string>

class TestFolder {
  public:
    TestFolder();
    ~TestFolder();
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

// Temporary folder that is not entered (a server root, say).
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

void WriteFile(const std::string& name, const std::string& content);
std::string ReadFile(const std::string& name);
bool FileExists(const std::string& name);
void MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);
