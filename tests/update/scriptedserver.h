#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// One accepted connection, as a script sees it.
class ScriptedPeer {
public:
    explicit ScriptedPeer(int fd, class ScriptedServer &server) : fd_(fd), server_(server) {}

    // Reads one request header block (up to the empty line) and records it.
    // Empty when the client closed first or nothing came within 20 s.
    std::string ReadRequest();
    // False once the client has gone.
    bool Send(std::string_view bytes);
    void ShutdownWrite();
    // Closes with a reset instead of a FIN.
    void Reset();
    // Waits (at most 20 s) until the client closes its side.
    void WaitForClientClose();
    void Close();

private:
    int fd_;
    ScriptedServer &server_;
};

// A fake HTTP server on 127.0.0.1 for what real servers will not do. It
// plays one script per accepted connection, in order, on its own thread,
// and records every request it was sent.
class ScriptedServer {
public:
    using Script = std::function<void(ScriptedPeer &)>;

    explicit ScriptedServer(std::vector<Script> scripts);
    ~ScriptedServer();

    int Port() const { return port_; }
    std::string Url(std::string_view path) const;
    std::vector<std::string> Requests() const;
    int Connections() const;

private:
    friend class ScriptedPeer;
    void Run();
    void Record(std::string request);

    std::vector<Script> scripts_;
    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    int connections_ = 0;
    std::thread thread_;
};

// A one-shot signal between the test thread and a script.
class OneShotSignal {
public:
    void Raise();
    // False when it was not raised within the time.
    bool Wait(int timeoutMs = 20000);

private:
    std::mutex mutex_;
    std::condition_variable raised_;
    bool set_ = false;
};

// A port on 127.0.0.1 on which nothing listens.
int UnusedLoopbackPort();
