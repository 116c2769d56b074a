#include "state/OptionsFile.h"

#include "base/Scan.h"
#include "state/LocalFiles.h"
#include "state/TextFile.h"

OptionsFile::OptionsFile() {
    Reload();
}

void OptionsFile::Reload() {
    autoPlay = false;
    autoDownload = true;
    std::string text;
    if (!ReadWholeFile(kFileName, &text))
        return;
    scan::Scanner scanner(text);
    std::string word;
    for (;;) {
        scan::Scanner::Token token = scanner.ReadToken(1024, &word);
        if (token == scan::Scanner::Token::kEnd)
            break;
        if (token != scan::Scanner::Token::kOk)
            continue;  // too long to be a keyword
        std::string upper = scan::ToUpper(word);
        if (upper == "AUTOPLAY")
            autoPlay = true;
        else if (upper == "NOAUTOPLAY")
            autoPlay = false;
        else if (upper == "AUTODOWNLOAD")
            autoDownload = true;
        else if (upper == "NOAUTODOWNLOAD")
            autoDownload = false;
    }
}

OptionsFile::~OptionsFile() {
    Save();
}

void OptionsFile::Save() const {
    // Replaced whole, as the ledger is.
    std::string text = autoPlay ? "AUTOPLAY\n" : "NOAUTOPLAY\n";
    text += autoDownload ? "AUTODOWNLOAD\n" : "NOAUTODOWNLOAD\n";
    ReplaceFileContents(kFileName, text);
}
