#include "TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace

std::string TestRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (::strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    return {};
}

TestHttpServer::TestHttpServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0)
        throw std::runtime_error("test server cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : openFds_)
            ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
        stopped_.notify_all();
    }
    for (std::thread& t : workers)
        t.join();
}

std::vector<TestRequest> TestHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int TestHttpServer::CountRequests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(requests_.begin(), requests_.end(),
                                          [&](const TestRequest& r) { return r.path == path; }));
}

TestHttpServer::Handler TestHttpServer::Files(std::map<std::string, std::string> files) {
    return [files = std::move(files)](const TestRequest& request) {
        TestReply reply;
        auto it = files.find(request.path);
        if (it == files.end()) {
            reply.status = 404;
            reply.body = "<html>not found</html>";
        } else {
            reply.body = it->second;
        }
        return reply;
    };
}

void TestHttpServer::AcceptLoop() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (stopping_)
                return;
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        int connection = ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        openFds_.push_back(fd);
        workers_.emplace_back([this, fd, connection] { Serve(fd, connection); });
    }
}

void TestHttpServer::Serve(int fd, int connection) {
    std::string buffer;
    char chunk[8192];
    bool open = true;
    while (open && !stopping_) {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            buffer.append(chunk, static_cast<size_t>(n));
        }
        if (!open)
            break;
        std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);

        TestRequest request;
        request.connection = connection;
        size_t sp1 = head.find(' ');
        size_t sp2 = head.find(' ', sp1 + 1);
        request.method = head.substr(0, sp1);
        request.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
        for (size_t line = head.find("\r\n"); line != std::string::npos;) {
            size_t next = head.find("\r\n", line + 2);
            std::string field = head.substr(
                line + 2, next == std::string::npos ? std::string::npos : next - line - 2);
            if (size_t colon = field.find(':'); colon != std::string::npos) {
                size_t value = field.find_first_not_of(' ', colon + 1);
                request.headers.emplace_back(field.substr(0, colon),
                                             value == std::string::npos ? "" : field.substr(value));
            }
            line = next;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }

        TestReply reply = handler_(request);
        using Kind = TestReply::Kind;
        if (reply.kind == Kind::kReset) {
            linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            break;
        }
        if (reply.kind == Kind::kStall) {
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait(lock, [this] { return stopping_.load(); });
            break;
        }

        std::string out =
            "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
        for (const auto& [name, value] : reply.headers)
            out += name + ": " + value + "\r\n";
        if (reply.announcedLength)
            out += "Content-Length: " + std::to_string(*reply.announcedLength) + "\r\n";
        else if (reply.kind == Kind::kNoLength || reply.kind == Kind::kEndless)
            out += "Connection: close\r\n";
        else
            out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        out += "\r\n";
        if (!SendAll(fd, out.data(), out.size()))
            break;

        if (reply.kind == Kind::kEndless) {
            const std::string block = reply.body.empty() ? std::string(65536, 'x') : reply.body;
            while (!stopping_ && SendAll(fd, block.data(), block.size())) {
            }
            break;
        }
        if (reply.kind == Kind::kTrickle) {
            const size_t step = std::max<size_t>(1, reply.blockSize);
            for (size_t sent = 0; sent < reply.body.size(); sent += step) {
                std::unique_lock<std::mutex> lock(mutex_);
                if (stopped_.wait_for(lock, std::chrono::microseconds(reply.trickleMicroseconds),
                                      [this] { return stopping_.load(); }))
                    break;
                lock.unlock();
                if (!SendAll(fd, reply.body.data() + sent,
                             std::min(step, reply.body.size() - sent)))
                    break;
            }
            break;
        }

        size_t toSend = reply.body.size();
        if (reply.kind == Kind::kShortBody || reply.kind == Kind::kStallInBody ||
            reply.kind == Kind::kResetInBody)
            toSend = std::min(reply.sendBytes, toSend);
        if (request.method == "HEAD")
            toSend = 0;
        size_t block = reply.blockSize ? reply.blockSize : toSend;
        for (size_t sent = 0; sent < toSend && open;) {
            size_t n = std::min(block, toSend - sent);
            open = SendAll(fd, reply.body.data() + sent, n);
            sent += n;
            if (reply.blockSize)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (reply.kind == Kind::kStallInBody) {
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait(lock, [this] { return stopping_.load(); });
            break;
        }
        if (reply.kind == Kind::kResetInBody) {
            linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            break;
        }
        if (reply.kind != Kind::kNormal)
            break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
    ::close(fd);
}
