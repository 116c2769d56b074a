#include "Repository.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "NginxServer.h"
#include "Publish.h"
#include "PublishHelpers.h"

namespace fs = std::filesystem;

const std::string& TestKeyFile() {
    static const std::string path = SourcePath("tests/conformance/test_signing.key");
    return path;
}

const SigningKey& TestKey() {
    static const SigningKey key = *ReadSigningKey(ReadFile(TestKeyFile()));
    return key;
}

std::string Repository::Base() const {
    return Root() + "/lanternvale_patch/";
}

const std::string& Repository::KeyFile() {
    if (keyFile_.empty()) {
        keyFile_ = keys_.Path() + "/operator.key";
        WriteFile(keyFile_, TestKey().privatePem);
        fs::permissions(keyFile_, fs::perms::owner_read | fs::perms::owner_write);
    }
    return keyFile_;
}

std::string Repository::Publish(const std::map<std::string, std::string>& files,
                                const std::string& gameExe, bool sign,
                                const std::string& signKeyFile, const std::string& channel,
                                bool delta) {
    const std::string build = work_.Path() + "/build" + std::to_string(++builds_);
    MakeBuild(build, files);
    lvpublish::PublishOptions options;
    options.buildDir = build;
    options.serverRoot = Root();
    options.gameExe = gameExe;
    options.delta = delta;
    options.deltaLevel = 3;
    options.mirrors = mirrors;
    if (sign) {
        options.signKeyFile = signKeyFile.empty() ? KeyFile() : signKeyFile;
        options.channel = channel;
    }
    lvpublish::PublishOutcome outcome = lvpublish::Publish(options);
    EXPECT_TRUE(outcome.ok) << outcome.error;
    return outcome.report.buildFolder;
}

void Repository::SetCurrent(const std::string& buildFolder) {
    Write("build_folder.txt", buildFolder + "\n");
}

std::string Repository::Read(const std::string& path) const {
    return ReadFile(Base() + path);
}

void Repository::Write(const std::string& path, const std::string& content) {
    WriteFile(Base() + path, content);
}

BuildStatement Repository::Statement(const std::string& buildFolder) const {
    std::optional<BuildStatement> statement =
        ParseStatement(Read(buildFolder + kStatementFileName));
    EXPECT_TRUE(statement) << buildFolder;
    return statement.value_or(BuildStatement{});
}

void Repository::WriteStatement(const std::string& buildFolder, BuildStatement statement,
                                const SigningKey& key) {
    ASSERT_TRUE(SignStatement(key, &statement));
    Write(buildFolder + kStatementFileName, FormatStatement(statement));
}

std::map<std::string, std::string> FolderContents(const std::string& folder) {
    std::map<std::string, std::string> contents;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            contents[fs::relative(entry.path(), folder).string()] = ReadFile(entry.path().string());
    return contents;
}
