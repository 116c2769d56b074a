#include "ForwardProxy.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include "NginxServer.h"
#include "TestFolder.h"

namespace {

const char kBinary[] = "/usr/bin/tinyproxy";

}  // namespace

ForwardProxy::ForwardProxy() {
    if (::access(kBinary, X_OK) != 0)
        throw std::runtime_error("tinyproxy is not installed; run scripts/setup");
    char pattern[] = "/tmp/lvproxy-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        std::string conf = folder_ + "/tinyproxy.conf";
        WriteFile(conf, "Port " + std::to_string(port_) +
                            "\n"
                            "Listen 127.0.0.1\n"
                            "Timeout 60\n"
                            "LogFile \"" +
                            folder_ +
                            "/tinyproxy.log\"\n"
                            "LogLevel Connect\n"
                            "MaxClients 20\n"
                            "Allow 127.0.0.1\n");
        // Its chatter on standard error stays out of the test output.
        pid_ = StartListening({kBinary, "-d", "-c", conf}, port_, folder_ + "/stderr.txt");
        if (pid_ > 0)
            return;
    }
    throw std::runtime_error("tinyproxy did not start");
}

ForwardProxy::~ForwardProxy() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    RemoveTree(folder_);
}

std::vector<std::string> ForwardProxy::Requests() const {
    std::vector<std::string> requests;
    std::string log = folder_ + "/tinyproxy.log";
    if (!FileExists(log))
        return requests;
    std::istringstream in(ReadFile(log));
    const std::string marker = "): ";
    for (std::string line; std::getline(in, line);) {
        if (line.find("Request (file descriptor") == std::string::npos)
            continue;
        std::string request = line.substr(line.find(marker) + marker.size());
        if (size_t version = request.rfind(" HTTP/"); version != std::string::npos)
            request.erase(version);
        requests.push_back(request);
    }
    return requests;
}
