// The name stage of a run: every manifest name checked and its folders
// created before anything is fetched; a rejected name is reported to the
// front end.

#include <string>
#include <unordered_set>

#include "fileset/FilesToPatch.h"
#include "patch/RunSurface.h"

void FilesToPatch::CheckFileNames() {
    std::unordered_set<std::string> foldersMade;
    for (File& file : files) {
        file.CheckName();
        if (file.rejected)
            g_patchDialog->ShowMessageBox("DEBUG: Filename Security Violation", file.name);
        file.CreateFolders(foldersMade);
    }
}
