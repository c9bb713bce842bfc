#include "core/health_probe.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "core/group_child.h"
#include "tds/socket.h"

namespace paagent {

namespace {

// A command run by /bin/sh: exit status 0 passes. Its output past the limit is read and dropped,
// so that it never blocks on a full pipe.
class ExecRun : public ProbeRun {
public:
    ExecRun(const ExecCheck &check, std::chrono::milliseconds timeout)
        : ProbeRun(timeout),
          child_({"/bin/sh", "-c", check.command}, nullptr, Clock::time_point::max(), GroupChild::Leftovers::kKilled)
    {
    }

    Slots Wanted() const override { return {pollfd{child_.Output(), POLLIN, 0}, pollfd{child_.Pidfd(), POLLIN, 0}}; }
    void Abandon() override
    {
        child_.Kill();
        ProbeRun::Abandon();
    }
    bool Finished() const override { return Decided() && child_.End(); }
    bool ChildEnded(const siginfo_t &child) override { return child_.Ended(child); }

private:
    void Step(const Slots &ready) override
    {
        if (ready[0].revents != 0) {
            Read();
        }
        if (ready[1].revents != 0) {
            child_.Collect();
        }
        if (child_.End() && !Decided()) {
            // What it wrote before it ended; a process it left behind may hold the pipe for ever.
            Read();
            const siginfo_t &end = *child_.End();
            const bool passed    = end.si_code == CLD_EXITED && end.si_status == 0;
            Decide(passed, output_.empty() && !passed ? EndingText(end) : output_);
        }
    }
    void TimedOut() override { child_.Kill(); }
    void Read()
    {
        child_.ReadOutput([this](std::string_view text) {
            output_.append(text.substr(0, kProbeOutputLimit - std::min(output_.size(), kProbeOutputLimit)));
        });
    }

    GroupChild child_;
    std::string output_;
};

// A connection to HOST:PORT; with a request, an HTTP GET whose status line is read.
class SocketRun : public ProbeRun {
public:
    SocketRun(const std::string &host, std::uint16_t port, std::chrono::milliseconds timeout, std::string request)
        : ProbeRun(timeout), where_(host + ":" + std::to_string(port)), request_(std::move(request))
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags    = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo *found   = nullptr;
        if (getaddrinfo(host == "localhost" ? "127.0.0.1" : host.c_str(), std::to_string(port).c_str(), &hints,
                        &found) != 0) {
            Decide(false, "cannot check " + where_ + ": the host is to be a numeric address or localhost");
            return;
        }
        socket_ = tds::FileDescriptor(socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket_.Valid()) {
            Fail("socket", errno);
            freeaddrinfo(found);
            return;
        }
        const int error = connect(socket_.Get(), found->ai_addr, found->ai_addrlen) == 0 ? 0 : errno;
        freeaddrinfo(found);
        if (error != 0 && error != EINPROGRESS) {
            Fail("connect to " + where_, error);
            return;
        }
        if (error == 0) {
            Connected();
        }
    }

    Slots Wanted() const override
    {
        const short events = !connected_ || sent_ < request_.size() ? POLLOUT : POLLIN;
        return {pollfd{Decided() ? -1 : socket_.Get(), events, 0}, pollfd{-1, 0, 0}};
    }

private:
    void Step(const Slots &ready) override
    {
        if (ready[0].revents == 0 || Decided()) {
            return;
        }
        if (!connected_) {
            int error       = 0;
            socklen_t width = sizeof error;
            getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &width);
            if (error != 0) {
                Fail("connect to " + where_, error);
                return;
            }
            Connected();
        } else if (sent_ < request_.size()) {
            Send();
        } else {
            Receive();
        }
    }
    void TimedOut() override { socket_.Reset(); }

    void Connected()
    {
        connected_ = true;
        if (request_.empty()) {
            Finish(true, "connected to " + where_);
        } else {
            Send();
        }
    }
    void Send()
    {
        const ssize_t put = send(socket_.Get(), request_.data() + sent_, request_.size() - sent_, MSG_NOSIGNAL);
        if (put < 0 && errno != EAGAIN) {
            Fail("send to " + where_, errno);
        } else if (put > 0) {
            sent_ += static_cast<std::size_t>(put);
        }
    }
    void Receive()
    {
        char buffer[kProbeOutputLimit];
        const ssize_t got = recv(socket_.Get(), buffer, kProbeOutputLimit - status_.size(), 0);
        if (got < 0) {
            if (errno != EAGAIN) {
                Fail("receive from " + where_, errno);
            }
            return;
        }
        status_.append(buffer, static_cast<std::size_t>(got));
        if (const auto end = status_.find('\n'); end != std::string::npos) {
            std::string line = status_.substr(0, end);
            if (line.ends_with('\r')) {
                line.pop_back();
            }
            Judge(line);
        } else if (got == 0) {
            Finish(false, where_ + " closed the connection before a status line");
        } else if (status_.size() >= kProbeOutputLimit) {
            Finish(false, where_ + " sent a status line longer than " + std::to_string(kProbeOutputLimit) + " bytes");
        }
    }
    // "HTTP/1.1 200 OK": a 2xx or 3xx status passes.
    void Judge(const std::string &line)
    {
        const auto space = line.find(' ');
        int code         = 0;
        if (line.starts_with("HTTP/") && space != std::string::npos) {
            std::from_chars(line.data() + space + 1, line.data() + line.size(), code);
        }
        Finish(code >= 200 && code < 400, line);
    }
    void Finish(bool passed, std::string output)
    {
        socket_.Reset();
        Decide(passed, std::move(output));
    }
    void Fail(const std::string &what, int error) { Finish(false, what + ": " + std::strerror(error)); }

    std::string where_;
    std::string request_;  // empty for a TCP probe
    tds::FileDescriptor socket_;
    bool connected_   = false;
    std::size_t sent_ = 0;
    std::string status_;
};

std::string HttpRequest(const HttpCheck &check)
{
    const bool ipv6        = check.host.find(':') != std::string::npos;
    const std::string host = (ipv6 ? "[" + check.host + "]" : check.host) + ":" + std::to_string(check.port);
    return "GET " + check.path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\nUser-Agent: paagentd\r\n\r\n";
}

}  // namespace

std::optional<ProbeRun::Clock::time_point> ProbeRun::Deadline() const
{
    return decided_ ? std::nullopt : std::optional(deadline_);
}

void ProbeRun::Advance(const Slots &ready, Clock::time_point now)
{
    // A decided run may still have a command to reap.
    Step(ready);
    if (!decided_ && now >= deadline_) {
        TimedOut();
        Decide(false, TimedOutText(timeout_));
    }
}

std::optional<ProbeResult> ProbeRun::TakeResult() { return std::exchange(result_, std::nullopt); }

void ProbeRun::Abandon()
{
    decided_ = true;
    result_.reset();
}

void ProbeRun::Decide(bool passed, std::string output)
{
    decided_ = true;
    result_  = ProbeResult{passed, std::move(output)};
}

std::string TimedOutText(std::chrono::milliseconds timeout)
{
    std::string seconds = std::to_string(timeout.count() / 1000);
    if (const auto fraction = timeout.count() % 1000; fraction != 0) {
        std::string digits = std::to_string(1000 + fraction).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        seconds += "." + digits;
    }
    return "timed out after " + seconds + " s";
}

std::unique_ptr<ProbeRun> StartProbe(const HealthProbe &probe, std::chrono::milliseconds timeout)
{
    if (const auto *exec = std::get_if<ExecCheck>(&probe)) {
        return std::make_unique<ExecRun>(*exec, timeout);
    }
    if (const auto *tcp = std::get_if<TcpCheck>(&probe)) {
        return std::make_unique<SocketRun>(tcp->host, tcp->port, timeout, "");
    }
    const auto &http = std::get<HttpCheck>(probe);
    return std::make_unique<SocketRun>(http.host, http.port, timeout, HttpRequest(http));
}

}  // namespace paagent
