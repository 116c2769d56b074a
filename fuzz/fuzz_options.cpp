// NoxPatch2011_Options.cfg of any content loads, and what it saves is the two
// canonical lines.
#include <cstdlib>
#include <cstring>

#include "FuzzFolder.h"
#include "state/OptionsFile.h"
#include "state/TextFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EnterFuzzFolder();
    WriteInput(OptionsFile::kFileName, data, size);
    bool autoPlay;
    bool autoDownload;
    {
        OptionsFile options;
        autoPlay = options.autoPlay;
        autoDownload = options.autoDownload;
    }
    std::string saved;
    if (!ReadWholeFile(OptionsFile::kFileName, &saved))
        std::abort();
    std::string expected = std::string(autoPlay ? "AUTOPLAY\n" : "NOAUTOPLAY\n") +
                           (autoDownload ? "AUTODOWNLOAD\n" : "NOAUTODOWNLOAD\n");
    if (saved != expected)
        std::abort();
    return 0;
}
