#pragma once
// A game folder on a file system of its own, a few hundred KiB large, so that
// tests meet a really full disk. It needs the right to mount (root in a test
// container); where that is missing, Mounted() is false and the test skips.

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <string>

class SmallDisk {
  public:
    explicit SmallDisk(int64_t bytes);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Mounted() const { return mounted_; }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
    bool mounted_ = false;
};

// Fills the current folder's file system with one file until no byte more fits.
void FillDisk(const std::string& name);

// Every write of this process past `bytes` into a file fails (EFBIG), as on
// a full disk; needs no rights. Restored when the object goes.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
    sighandler_t previous_;
};
