// patch_server_address.txt of any content: the settings keep their shape.
#include <cstdlib>

#include "FuzzFolder.h"
#include "patch/PatchServer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EnterFuzzFolder();
    WriteInput(kAddressFileName, data, size);
    g_patchServer = InitialPatchServerSettings();
    ReadPatchServerAddress();
    const std::string& path = g_patchServer.serverPath;
    if (path.empty() || path[0] != '/' || path.back() != '/' || g_patchServer.host.size() > 1023)
        std::abort();
    std::string url = BuildPatchUrl(g_patchServer.buildPath + "current2.txt");
    // Plain or TLS, as the address file chose; never any other scheme.
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
        std::abort();
    return 0;
}
