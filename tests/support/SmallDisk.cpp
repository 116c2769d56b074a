#include "SmallDisk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "TestFolder.h"

namespace fs = std::filesystem;

SmallDisk::SmallDisk(int64_t bytes) {
    std::string pattern = (fs::temp_directory_path() / "lvdisk-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        return;
    path_ = buffer.data();
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    previous_ = fs::current_path().string();
    if (mounted_)
        fs::current_path(path_);
}

SmallDisk::~SmallDisk() {
    std::error_code ec;
    fs::current_path(previous_, ec);
    if (mounted_)
        ::umount2(path_.c_str(), MNT_DETACH);
    if (!path_.empty())
        ::rmdir(path_.c_str());
}

void FillDisk(const std::string& name) {
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
}
