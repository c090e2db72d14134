#include "scriptedserver.h"

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int ListenOnLoopback(int &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(fd, 8) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool WaitReadable(int fd, int timeoutMs)
{
    pollfd pfd {fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

} // namespace

std::string ScriptedPeer::ReadRequest()
{
    std::string request;
    char byte;
    // Byte by byte, so nothing of a following request is taken with it.
    while (request.size() < 4 || request.compare(request.size() - 4, 4, "\r\n\r\n") != 0) {
        if (!WaitReadable(fd_, 20000))
            return {};
        if (::recv(fd_, &byte, 1, 0) != 1)
            return {};
        request += byte;
    }
    server_.Record(request);
    return request;
}

bool ScriptedPeer::Send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

void ScriptedPeer::ShutdownWrite()
{
    ::shutdown(fd_, SHUT_WR);
}

void ScriptedPeer::Reset()
{
    linger hard {1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
}

void ScriptedPeer::Close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void ScriptedPeer::WaitForClientClose()
{
    char sink[4096];
    while (fd_ >= 0 && WaitReadable(fd_, 20000)) {
        if (::recv(fd_, sink, sizeof sink, 0) <= 0)
            return;
    }
}

ScriptedServer::ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts))
{
    listenFd_ = ListenOnLoopback(port_);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("pipe failed");
    }
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    const char stop = 'x';
    (void)!::write(stopPipe_[1], &stop, 1);
    thread_.join();
    ::close(listenFd_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

std::string ScriptedServer::Url(std::string_view path) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void ScriptedServer::Run()
{
    for (size_t next = 0;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard lock(mutex_);
            ++connections_;
        }
        if (next < scripts_.size()) {
            ScriptedPeer peer(fd, *this);
            scripts_[next++](peer);
            peer.Close();
        } else {
            ::close(fd);
        }
    }
}

void ScriptedServer::Record(std::string request)
{
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
}

std::vector<std::string> ScriptedServer::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

int ScriptedServer::Connections() const
{
    std::lock_guard lock(mutex_);
    return connections_;
}

void OneShotSignal::Raise()
{
    std::lock_guard lock(mutex_);
    set_ = true;
    raised_.notify_all();
}

bool OneShotSignal::Wait(int timeoutMs)
{
    std::unique_lock lock(mutex_);
    return raised_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

int UnusedLoopbackPort()
{
    int port = 0;
    const int fd = ListenOnLoopback(port);
    ::close(fd);
    return port;
}
