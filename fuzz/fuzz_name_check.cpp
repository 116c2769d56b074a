// The name check: whatever the manifest says, an accepted name never leaves
// the game folder: no leading separator, no "..", no drive colon, no empty
// path level, only "/" as separator, nothing that ends or escapes in the
// URL's path, and never one of the launcher's own files.
#include <cstdlib>
#include <string>

#include "fileset/FilesToPatch.h"
#include "state/LocalFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FilesToPatch::File file;
    file.name.assign(reinterpret_cast<const char*>(data), size);
    const size_t before = file.name.size();
    file.CheckName();
    if (file.name.size() != before)
        std::abort();
    if (file.rejected || file.name.empty())
        return 0;
    const std::string& n = file.name;
    if (n[0] == '/' || n.find("..") != std::string::npos || n.find(':') != std::string::npos ||
        n.find('\\') != std::string::npos || n.find("//") != std::string::npos ||
        n.find("./") != std::string::npos || n.find('#') != std::string::npos ||
        n.find('?') != std::string::npos || n.find('%') != std::string::npos ||
        IsLauncherLocalFile(n))
        std::abort();
    return 0;
}
