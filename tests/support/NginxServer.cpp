#include "NginxServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "TestFolder.h"

#ifndef LV_SOURCE_DIR
#error "LV_SOURCE_DIR must name the source tree"
#endif

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool Accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

int StartListening(std::vector<std::string> args, int port, const std::string& stderrFile) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string errors = stderrFile.empty() ? "/dev/null" : stderrFile;
    // The server goes with the test process, even when a sanitizer or a
    // crash ends it before its destructors run, and it never holds the test
    // runner's output: ctest waits for every writer of that pipe to end.
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("cannot start " + args[0]);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int null = ::open("/dev/null", O_RDWR);
        const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null < 0 || err < 0)
            ::_exit(127);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        if (Accepts(port))
            return pid;
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
}

std::string NginxBinary() {
    for (const char* candidate : {"/usr/sbin/nginx", "/usr/bin/nginx"})
        if (::access(candidate, X_OK) == 0)
            return candidate;
    throw std::runtime_error("nginx is not installed; run scripts/setup");
}

}  // namespace

std::string SourcePath(const std::string& relative) {
    return std::string(LV_SOURCE_DIR) + "/" + relative;
}

NginxServer::NginxServer(const std::string& root, const NginxTls* tls,
                         const NginxOptions& options) {
    std::string binary = NginxBinary();
    char pattern[] = "/tmp/lvnginx-XXXXXX";
    prefix_ = ::mkdtemp(pattern);
    MakeDirs(prefix_ + "/tmp");
    std::string tmpl = ReadFile(SourcePath(options.cacheFor ? "server/nginx-cache.conf.template"
                                                            : "server/nginx.conf.template"));
    ReplaceAll(tmpl, "@SHORT_MAX_AGE@", std::to_string(options.shortMaxAge));
    ReplaceAll(tmpl, "@ORIGIN@", "127.0.0.1:" + std::to_string(options.cacheFor));
    if (tls)
        ReplaceAll(tmpl, "listen @LISTEN_HOST@:@PORT@;",
                   "listen @LISTEN_HOST@:@PORT@ ssl;\n        ssl_certificate " + tls->certificate +
                       ";\n        ssl_certificate_key " + tls->key + ";");

    // A port found free may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < (options.port != 0 ? 1 : 5); ++attempt) {
        port_ = options.port != 0 ? options.port : FreeLoopbackPort();
        std::string conf = tmpl;
        ReplaceAll(conf, "@USER@", ::geteuid() == 0 ? "user root;" : "");
        ReplaceAll(conf, "@PREFIX@", prefix_);
        ReplaceAll(conf, "@PORT@", std::to_string(port_));
        ReplaceAll(conf, "@ROOT@", root);
        ReplaceAll(conf, "@LISTEN_HOST@", "127.0.0.1");
        WriteFile(prefix_ + "/nginx.conf", conf);

        std::string conf_path = prefix_ + "/nginx.conf";
        std::string error_log = prefix_ + "/error.log";
        std::vector<std::string> args = {binary, "-p", prefix_, "-c", conf_path, "-e", error_log};
        pid_ = StartListening(args, port_);
        if (pid_ > 0)
            return;
    }
    std::string log = FileExists(prefix_ + "/error.log") ? ReadFile(prefix_ + "/error.log") : "";
    throw std::runtime_error("nginx did not start: " + log);
}

NginxServer::~NginxServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    RemoveTree(prefix_);
}

std::vector<std::string> NginxServer::AccessLog() const {
    std::vector<std::string> lines;
    if (!FileExists(prefix_ + "/access.log"))
        return lines;
    std::istringstream in(ReadFile(prefix_ + "/access.log"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int NginxServer::ConnectionCount() const {
    std::set<std::string> serials;
    for (const std::string& line : AccessLog())
        serials.insert(line.substr(0, line.find(' ')));
    return static_cast<int>(serials.size());
}

int NginxServer::CountRequests(const std::string& path) const {
    int count = 0;
    for (const std::string& line : AccessLog())
        if (line.find("\"GET " + path + " HTTP") != std::string::npos)
            ++count;
    return count;
}
