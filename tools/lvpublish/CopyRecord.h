#pragma once
// How the files of the current build lay on disk while they held the bytes
// their manifest names, so the next publish can link an unchanged file's
// previous copy without reading it again. Anything that writes a file
// changes its modification and change times, and a replaced file is another
// inode; a copy that no longer looks exactly as recorded is read and hashed.

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lvpublish {

class CopyRecord {
  public:
    // The record under `base` when it describes `folder`; else an empty one.
    static CopyRecord Read(const std::string& base, const std::string& folder);

    // Records the files of `folder` under `base`, each of which holds the
    // bytes with the given SHA-256 now (name, hash).
    static bool Write(const std::string& base, const std::string& folder,
                      const std::vector<std::pair<std::string, std::string>>& files,
                      std::string* error);

    // Whether `info` (lstat of the copy of `name`) shows the copy as it was
    // recorded holding the bytes that hash to `sha256`.
    bool Untouched(const std::string& name, const struct stat& info,
                   const std::string& sha256) const;

  private:
    struct Entry {
        uint64_t device = 0;
        uint64_t inode = 0;
        int64_t size = 0;
        int64_t modifiedNs = 0;
        int64_t changedNs = 0;
        std::string sha256;
    };
    std::map<std::string, Entry> entries_;
};

}  // namespace lvpublish
