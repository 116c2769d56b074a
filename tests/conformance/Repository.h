#pragma once
// A simulated patch server for the trust tests: a server root that lvpublish
// fills and signs with the tests' key, and the changes an attacker between
// launcher and server can make to what the launcher receives.

#include <map>
#include <string>
#include <vector>

#include "TestFolder.h"
#include "patch/SigningKey.h"
#include "patch/Trust.h"

// The tests' signing key (a file in the source tree); launchers under test
// trust its public half.
const std::string& TestKeyFile();
const SigningKey& TestKey();

class Repository {
  public:
    const std::string& Root() const { return root_.Path(); }
    // root/lanternvale_patch/
    std::string Base() const;

    // The tests' key as the operator keeps it: a private copy of its own,
    // beside which lvpublish keeps this repository's serial record.
    const std::string& KeyFile();

    // Publishes `files` (name -> content) as the next build with lvpublish,
    // signed (with KeyFile() unless another is named, for lvpublish's default
    // channel unless `channel` names one) unless told otherwise, and returns
    // its build folder.
    // With `delta`, the build's objects too (lvpublish --delta, level 3).
    std::string Publish(const std::map<std::string, std::string>& files,
                        const std::string& gameExe = "", bool sign = true,
                        const std::string& signKeyFile = "", const std::string& channel = "",
                        bool delta = false);

    // The mirror list each Publish writes (lvpublish --mirror).
    std::vector<std::string> mirrors;

    // What the server now says is current.
    void SetCurrent(const std::string& buildFolder);
    std::string Read(const std::string& path) const;
    void Write(const std::string& path, const std::string& content);

    BuildStatement Statement(const std::string& buildFolder) const;
    // Signs `statement` with `key` and stores it as the build folder's.
    void WriteStatement(const std::string& buildFolder, BuildStatement statement,
                        const SigningKey& key = TestKey());

  private:
    TempDir root_;
    TempDir work_;
    TempDir keys_;
    std::string keyFile_;
    int builds_ = 0;
};

// Every file below `folder` with its content: the state a refused run must
// leave exactly as it found it.
std::map<std::string, std::string> FolderContents(const std::string& folder);
