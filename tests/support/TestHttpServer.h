#pragma once
// A scriptable HTTP/1.1 server on 127.0.0.1 for tests: keep-alive, a handler
// per request, and the faults a well-behaved server never makes (a body
// shorter than announced, no Content-Length, a stall, a reset, a body that
// never ends, a trickle). It counts
// connections and records every request.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct TestRequest {
    std::string method;
    std::string path;
    int connection = 0;  // serial of the connection it came on, from 1
    std::vector<std::pair<std::string, std::string>> headers;  // as sent
    // The value of a header (name ignoring case), empty when absent.
    std::string Header(const std::string& name) const;
};

struct TestReply {
    enum class Kind {
        kNormal,       // status, headers, body; the connection stays open
        kNoLength,     // body without Content-Length, then close
        kShortBody,    // announces the full length, sends `sendBytes`, closes
        kStall,        // accepts the request and never answers
        kStallInBody,  // headers and `sendBytes` of the body, then silence
        kReset,        // closes the connection at once without an answer
        kResetInBody,  // headers and `sendBytes` of the body, then a reset
        kEndless,      // headers, then `body` over and over until the client leaves
        kTrickle,      // the body a byte (or a block) every `trickleMicroseconds`
    };
    Kind kind = Kind::kNormal;
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    size_t sendBytes = 0;
    size_t blockSize = 0;  // when set, the body goes out in blocks of this size
    // Content-Length to announce instead of the body's own size; kEndless
    // announces none unless this is set.
    std::optional<size_t> announcedLength;
    int trickleMicroseconds = 10000;
};

class TestHttpServer {
  public:
    using Handler = std::function<TestReply(const TestRequest&)>;

    explicit TestHttpServer(Handler handler);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    int Port() const { return port_; }
    int ConnectionCount() const { return connections_.load(); }
    std::vector<TestRequest> Requests() const;
    // Requests for one path, in arrival order.
    int CountRequests(const std::string& path) const;

    // A handler serving `files` (path -> body) with 404 for anything else.
    static Handler Files(std::map<std::string, std::string> files);

  private:
    void AcceptLoop();
    void Serve(int fd, int connection);

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    std::vector<TestRequest> requests_;
    std::vector<std::thread> workers_;
    std::vector<int> openFds_;
};
