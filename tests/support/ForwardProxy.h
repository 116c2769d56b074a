#pragma once
// A real forward proxy (tinyproxy) on a free loopback port, for the tests of
// the launcher's proxy choice. It counts what passes through it from its own
// log: every request it forwarded, by the URL it was asked for.

#include <string>
#include <vector>

class ForwardProxy {
  public:
    ForwardProxy();
    ~ForwardProxy();
    ForwardProxy(const ForwardProxy&) = delete;
    ForwardProxy& operator=(const ForwardProxy&) = delete;

    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // "GET http://127.0.0.1:PORT/path", one per request that came through.
    std::vector<std::string> Requests() const;

  private:
    std::string folder_;
    int port_ = 0;
    int pid_ = -1;
};
