// attack: what a flood of idle connections and a crowd of password guessers cost the agent's
// clients.
//
//   attack PORT SERVER USER PASSWORD [IDLE [INFORM [GUESSERS [SECONDS]]]]   (500 64 16 30)
//
// The flood: IDLE connections to 127.0.0.1:PORT that send nothing and INFORM sessions of the
// inform login that never send their RPC; every one the agent closes is opened again at once, so
// that the flood keeps its strength. Meanwhile a client of the library logs in to SERVER as USER,
// asks for the agent's version and goes, 20 times one after the other: prints how many were
// served, the median and the longest time.
// The guessers: GUESSERS connections at a time from 127.0.0.1 send USER's login with wrong
// passwords for SECONDS: prints the passwords the agent checked (refused with "Login failed.")
// per second, the logins it refused unchecked, and what a login with the right password got
// meanwhile from 127.0.0.2 and from 127.0.0.1.
// Exits with status 0 when every client was served within a second, the guessers had at most one
// password a second checked and the other address logged in; 1 when not; 2 on a usage error.
#include <agentclient/pa.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/raw_client.h"

namespace {

using paagent::tds::testing::Answer;
using paagent::tds::testing::LoginFields;
using paagent::tds::testing::RawClient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPollInterval{100};
constexpr int kClientRuns = 20;
constexpr milliseconds kServedWithin{1'000};
constexpr double kGuessesPerSecond = 1.0;
const std::string kLoginFailed     = "Login failed.";

struct Target {
    std::uint16_t port;
    std::string server;
    std::string user;
    std::string password;
};

long to_ms(Clock::duration duration) { return std::chrono::duration_cast<milliseconds>(duration).count(); }

// Connections that keep coming back: each one the agent closes is opened again at once.
class Flood {
public:
    Flood(const Target &target, int idle, int inform) : target_(target)
    {
        for (int k = 0; k < idle + inform; ++k) {
            informs_.push_back(k >= idle);
            connections_.push_back(open(informs_.back()));
        }
        thread_ = std::thread([this] { keep_up(); });
    }
    ~Flood()
    {
        stop_ = true;
        thread_.join();
    }
    Flood(const Flood &)            = delete;
    Flood &operator=(const Flood &) = delete;

    long reopened() const { return reopened_; }

private:
    std::unique_ptr<RawClient> open(bool inform) const
    {
        auto client = std::make_unique<RawClient>(target_.port);
        if (inform)
            client->log_in({"vexamund", "marlock", "attack-host", "PAKitNotify"});
        return client;
    }

    // A flood connection has nothing more to read: whatever wakes it is its end.
    void keep_up()
    {
        while (!stop_) {
            std::vector<pollfd> fds;
            for (const auto &connection : connections_)
                fds.push_back({connection->descriptor(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), static_cast<int>(kPollInterval.count())) <= 0)
                continue;
            for (std::size_t k = 0; k < fds.size() && !stop_; ++k) {
                if (fds[k].revents != 0) {
                    connections_[k] = open(informs_[k]);
                    ++reopened_;
                }
            }
        }
    }

    const Target &target_;
    std::vector<std::unique_ptr<RawClient>> connections_;
    std::vector<bool> informs_;
    std::atomic<bool> stop_{false};
    std::atomic<long> reopened_{0};
    std::thread thread_;
};

// Logs in through the library, asks for the version and goes; the time taken, or nothing.
std::optional<Clock::duration> serve_client(const Target &target)
{
    auto start = Clock::now();
    PaConnection *handle =
        PaConnectCreate(target.server.c_str(), "attack-logins", target.user.c_str(), target.password.c_str());
    std::int32_t major = 0;
    std::int32_t minor = 0;
    bool served        = handle != nullptr && PaConnect(handle) == PaSUCCESS &&
                  PaServerGetVersionNo(handle, &major, &minor) == PaSUCCESS;
    auto taken = Clock::now() - start;
    if (handle != nullptr)
        PaConnectDestroy(handle);
    return served ? std::optional(taken) : std::nullopt;
}

bool measure_flood(const Target &target, int idle, int inform)
{
    Flood flood(target, idle, inform);
    std::vector<Clock::duration> times;
    for (int k = 0; k < kClientRuns; ++k) {
        if (auto taken = serve_client(target))
            times.push_back(*taken);
    }
    std::sort(times.begin(), times.end());
    std::cout << "flood: " << idle << " idle connections and " << inform << " inform sessions, reopened "
              << flood.reopened() << " times as the agent closed them\n"
              << "client through the library: " << times.size() << " of " << kClientRuns << " served";
    if (!times.empty()) {
        std::cout << ", median " << to_ms(times[times.size() / 2]) << " ms, longest " << to_ms(times.back()) << " ms";
    }
    std::cout << "\n";
    return times.size() == kClientRuns && times.back() < kServedWithin;
}

struct GuessCounts {
    std::atomic<long> checked{0};
    std::atomic<long> unchecked{0};
    std::atomic<long> unanswered{0};
};

void guess(const Target &target, Clock::time_point end, GuessCounts &counts)
{
    for (long k = 0; Clock::now() < end; ++k) {
        RawClient guesser(target.port);
        Answer answer = guesser.log_in({target.user, "guess-" + std::to_string(k)});
        if (answer.message == kLoginFailed)
            ++counts.checked;
        else if (!answer.message.empty())
            ++counts.unchecked;
        else
            ++counts.unanswered;
    }
}

// What a login with the right password from `source` got, and how long it took.
std::string right_login(const Target &target, const std::string &source)
{
    auto start = Clock::now();
    RawClient client(target.port, source);
    Answer answer       = client.log_in({target.user, target.password});
    std::string outcome = answer.accepted ? "accepted" : "refused (" + answer.message + ")";
    return outcome + " in " + std::to_string(to_ms(Clock::now() - start)) + " ms";
}

bool measure_guessing(const Target &target, int guessers, int seconds)
{
    GuessCounts counts;
    auto start = Clock::now();
    auto end   = start + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int k = 0; k < guessers; ++k)
        threads.emplace_back([&] { guess(target, end, counts); });
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds) / 2);
    std::string elsewhere = right_login(target, "127.0.0.2");
    std::string same      = right_login(target, "127.0.0.1");
    for (auto &thread : threads)
        thread.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double rate    = static_cast<double>(counts.checked) / elapsed;
    std::cout << "guessers: " << guessers << " connections at a time for " << seconds
              << " s from 127.0.0.1: " << counts.checked << " passwords checked (" << rate << " a second), "
              << counts.unchecked << " refused unchecked, " << counts.unanswered << " unanswered\n"
              << "right login meanwhile from 127.0.0.2: " << elsewhere << "\n"
              << "right login meanwhile from 127.0.0.1: " << same << "\n";
    return rate <= kGuessesPerSecond && elsewhere.rfind("accepted", 0) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::cerr << "usage: attack PORT SERVER USER PASSWORD [IDLE [INFORM [GUESSERS [SECONDS]]]]\n";
        return 2;
    }
    auto number = [&](int at, int otherwise) { return argc > at ? std::stoi(argv[at]) : otherwise; };
    Target target{static_cast<std::uint16_t>(std::stoi(argv[1])), argv[2], argv[3], argv[4]};
    bool served  = measure_flood(target, number(5, 500), number(6, 64));
    bool guarded = measure_guessing(target, number(7, 16), number(8, 30));
    return served && guarded ? 0 : 1;
}
