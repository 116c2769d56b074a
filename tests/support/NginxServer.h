#pragma once
// nginx on a free loopback port with a prefix of its own, serving a folder:
// the realistic patch server of the tests. Rendered from the operators'
// template in server/.

#include <string>
#include <vector>

// A certificate and its key (PEM files) for serving TLS instead of HTTP.
struct NginxTls {
    std::string certificate;
    std::string key;
};

// How long caches may keep what changes in place (the template's
// @SHORT_MAX_AGE@), and, for a cache in front of another server
// (server/nginx-cache.conf.template), that server's port; and its own port
// when a test must know it before the server starts.
struct NginxOptions {
    int shortMaxAge = 60;
    int cacheFor = 0;
    // The port to listen on; 0: a free one.
    int port = 0;
};

class NginxServer {
  public:
    explicit NginxServer(const std::string& root, const NginxTls* tls = nullptr,
                         const NginxOptions& options = {});
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    int Port() const { return port_; }

    // Access-log lines: "<connection> <request on it> "<request>" <status> <bytes>".
    std::vector<std::string> AccessLog() const;
    // Distinct connections seen, and requests for one path.
    int ConnectionCount() const;
    int CountRequests(const std::string& path) const;

  private:
    std::string prefix_;
    int port_ = 0;
    int pid_ = -1;
};

// A loopback port that was free a moment ago, and whether something accepts
// connections on one; for fixtures that start a server process.
int FreeLoopbackPort();
bool Accepts(int port);
// Starts args[0] with args and waits until it accepts on `port`: its process
// id, or -1 when it ended or did not listen in time (then it is stopped).
// Its standard error goes to `stderrFile` when one is named; it is killed
// when the test process ends, however that ends.
int StartListening(std::vector<std::string> args, int port, const std::string& stderrFile = "");

// Path of a file of the source tree (the template, demo data).
std::string SourcePath(const std::string& relative);
