// The agent's core on real processes: restarts, stops, waits that a shut-down or a removal cuts
// short, reports of PIDs, saves that fail, and the files the agent writes or reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <config/atomic_file.h>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <tuple>

#include "agent_fixture.h"
#include "core/log_writer.h"
#include "core/peers.h"
#include "core/state_file.h"
#include "core/users.h"

namespace {

using namespace paagent;
using namespace paagent::testing;
namespace fs     = std::filesystem;
namespace config = agentclient::config;
using Clock      = std::chrono::steady_clock;

// The numbers of the line a process writes to the FIFO in one write; none after kWaitLimit.
std::vector<long> ReadNumbers(const fs::path &fifo)
{
    // Opened for writing too, so that the open does not wait for a writer.
    tds::FileDescriptor fd(open(fifo.c_str(), O_RDWR | O_CLOEXEC));
    pollfd ready{fd.Get(), POLLIN, 0};
    char buffer[256];
    const int limit   = static_cast<int>(std::chrono::milliseconds(kWaitLimit).count());
    const ssize_t got = poll(&ready, 1, limit) == 1 ? read(fd.Get(), buffer, sizeof buffer) : 0;
    std::istringstream line(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0))));
    std::vector<long> numbers;
    for (long number = 0; line >> number;) {
        numbers.push_back(number);
    }
    return numbers;
}

// An agent logging into a directory of its own, and a FIFO there that its processes write to.
struct AgentAndFifo {
    explicit AgentAndFifo(std::chrono::milliseconds grace = 200ms) : agent(OptionsLoggingTo(home.Path(), grace))
    {
        if (mkfifo(fifo.c_str(), 0600) != 0) {
            throw std::runtime_error("cannot create FIFO " + fifo.string());
        }
    }
    // Starts process "p", whose command finds the FIFO's path in $FIFO.
    std::future<void> Start(const std::string &command, ProcessType type, std::int32_t timeout)
    {
        const Process process = MakeProcess("p", "FIFO=" + fifo.string() + "; " + command, type);
        return std::async(std::launch::async, [this, process, timeout] { agent.StartProcess(process, timeout); });
    }
    std::vector<long> Numbers() const { return ReadNumbers(fifo); }

    TempDir home;
    Agent agent;
    fs::path fifo = home.Path() / "fifo";
};

// Runs a request that may be refused; whether it was.
std::future<bool> Request(std::function<void()> request)
{
    return std::async(std::launch::async, [request] {
        try {
            request();
        } catch (const AgentError &) {
            return true;
        }
        return false;
    });
}

TEST(AgentRestarts, RestartsAfterDelaysThatDoubleThenGivesUp)
{
    TempDir home;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> starts;
    bool gave_up                      = false;
    AgentOptions options              = OptionsLoggingTo(home.Path());
    options.supervision.restart_delay = 20ms;
    options.log                       = [&](Verbosity, const std::string &text) {
        std::lock_guard lock(mutex);
        if (text.starts_with("started process failing")) {
            starts.push_back(Clock::now());
        }
        gave_up |= text.find("giving up") != std::string::npos;
        changed.notify_all();
    };
    Agent agent(std::move(options));
    Process failing     = MakeProcess("failing", "exit 3");
    failing.managed     = true;
    failing.retry_count = 4;
    agent.StartProcess(failing, 0);
    {
        // The agent logs under its own lock: the agent is not called while this one is held.
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kWaitLimit, [&] { return gave_up; }));
    }
    ASSERT_EQ(starts.size(), 5u);
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], 20ms * (1 << (i - 1))) << "restart " << i;
    }
    EXPECT_EQ(agent.ProcessStatus("failing", "node1").state, ProcessState::kFailed);
}

// A stop ends every process of the process's group, whatever its leader did, and a process
// ignoring SIGTERM within the one call. Stopping every process is checked end to end.
TEST(AgentStop, EndsEveryProcessOfTheGroupBeforeItSucceeds)
{
    // What happens, its command, which writes its group's id to $FIFO, and whether the start waits
    // until the leader has exited.
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"a child ignoring SIGTERM outlives its leader",
         "(trap '' TERM; exec sleep 1000) & echo $$ > \"$FIFO\"; exec sleep 1000", false},
        {"the leader has exited and left a child running", "sleep 1000 & echo $$ > \"$FIFO\"; exit 0", true},
    };
    for (const auto &[what, command, leader_exits] : cases) {
        SCOPED_TRACE(what);
        AgentAndFifo with;
        auto started       = with.Start(command, ProcessType::kNotPaAware, leader_exits ? 10 : 0);
        const auto numbers = with.Numbers();
        ASSERT_NO_THROW(started.get());
        ASSERT_EQ(numbers.size(), 1u);
        const auto group = static_cast<pid_t>(numbers[0]);
        GroupKiller killer{group};
        ASSERT_TRUE(GroupRuns(group));

        EXPECT_NO_THROW(with.agent.StopProcess("p", "node1"));
        EXPECT_FALSE(GroupRuns(group)) << "a process of group " << group << " survived the stop";
    }
}

// A start or a stop waits with the agent's lock released. Shutting the agent down ends the wait
// at once and refuses new requests; removing the service meanwhile, whichever comes first,
// lets the request end well. Meant to be run under AddressSanitizer and ThreadSanitizer too,
// which report a process read after it was freed.
TEST(AgentWaits, EndWhenTheAgentShutsDownOrTheServiceIsRemoved)
{
    const struct {
        const char *what;
        const char *command;  // writes its group's id to $FIFO
        ProcessType type;
        std::int32_t start_timeout;
        bool then_stop;  // the request that waits is a stop made once the process runs
        bool shut_down;  // else the service is removed, again and again
    } cases[] = {
        {"a start waiting for a report", "echo $$ > \"$FIFO\"; exec sleep 1000", ProcessType::kPaAware, 60, false,
         true},
        // Says when SIGTERM has come, and goes on.
        {"a stop waiting for a process that ignores SIGTERM",
         "trap 'echo 0 > \"$FIFO\"' TERM; echo $$ > \"$FIFO\"; while :; do sleep 1000 & wait $!; done",
         ProcessType::kNotPaAware, 0, true, true},
        {"a start waiting for its member to prove itself", "echo $$ > \"$FIFO\"; exit 3", ProcessType::kNotPaAware, 10,
         false, false},
        {"a stop waiting for its member to end", "echo $$ > \"$FIFO\"; exec sleep 1000", ProcessType::kNotPaAware, 0,
         true, false},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        AgentAndFifo with(kMaxGrace);
        Agent &agent         = with.agent;
        const Process member = MakeProcess("p", "FIFO=" + with.fifo.string() + "; " + test.command, test.type);
        for (int round = 0; round < (test.shut_down ? 1 : 40); ++round) {
            agent.GetCatalog().AddService(MakeService("s", {member}));
            auto request     = Request([&] { agent.StartProcess(member, test.start_timeout); });
            const auto group = with.Numbers();
            ASSERT_EQ(group.size(), 1u);
            GroupKiller killer{static_cast<pid_t>(group[0])};
            if (test.then_stop) {
                request.wait();
                request = Request([&] { agent.StopProcess("p", "node1"); });
                if (test.shut_down) {
                    ASSERT_EQ(with.Numbers(), std::vector<long>{0});  // the stop has begun
                }
            }
            if (test.shut_down) {
                agent.ShutDown(false);
                EXPECT_THROW(agent.StartProcess(MakeProcess("late", "exit 0"), 0), AgentError);
            }
            // The agent refuses the removal while the member runs.
            const auto deadline = Clock::now() + kWaitLimit;
            while (!test.shut_down && Clock::now() < deadline && !agent.GetCatalog().Services(false).empty()) {
                Request([&] { agent.GetCatalog().RemoveService("s"); }).wait();
            }
            // Far within the start's time-out and the grace period.
            ASSERT_EQ(request.wait_for(10s), std::future_status::ready);
            EXPECT_TRUE(request.get() || !test.shut_down) << "the request was not refused";
        }
    }
}

// A PA-aware process reporting its PID: accepted only while its start waits for the report,
// and only for the process itself or one of its descendants.
TEST(AgentReport, OnlyAWaitedForReportOfTheProcessOrADescendantIsAccepted)
{
    const struct {
        const char *what;
        std::int32_t timeout;  // of the start; 0 does not wait for a report
        std::size_t reported;  // its PID (1), its child's (2), or this test's (3)
        bool accepted;
    } cases[] = {
        {"its own PID", 10, 1, true},
        {"a descendant's PID", 10, 2, true},
        {"the PID of a process outside it", 10, 3, false},
        {"its own PID when no start waits", 0, 1, false},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        AgentAndFifo with;
        Agent &agent = with.agent;
        auto started = with.Start("sleep 1000 & echo $PA_PROCESS_ID $$ $! > \"$FIFO\"; exec sleep 1000",
                                  ProcessType::kPaAware, test.timeout);
        auto told    = with.Numbers();  // its process id, its PID, its child's PID
        ASSERT_EQ(told.size(), 3u);
        told.push_back(getpid());
        GroupKiller killer{static_cast<pid_t>(told[1])};
        if (test.timeout == 0) {
            ASSERT_NO_THROW(started.get());
        }

        const auto id       = static_cast<std::int32_t>(told[0]);
        const auto reported = static_cast<pid_t>(told[test.reported]);
        if (test.accepted) {
            EXPECT_NO_THROW(agent.GetSupervisor().Report(id, reported));
            EXPECT_NO_THROW(started.get());
        } else {
            EXPECT_THROW(agent.GetSupervisor().Report(id, reported), AgentError);
        }
        EXPECT_EQ(agent.ProcessStatus("p", "node1").pid, test.accepted ? reported : told[1]);
        agent.StopProcess("p", "node1");
        if (started.valid()) {
            started.wait();
        }
    }
}

// A managed process waiting for its restart when the agent ended is recorded without a PID and
// started by the next agent, which has it in its configuration.
TEST(AgentAdoption, StartsAProcessThatWasWaitingForItsRestart)
{
    TempDir home;
    const fs::path fifo = home.Path() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Process worker                 = MakeProcess("worker", "echo $$ > " + fifo.string() + "; exec sleep 30");
    worker.managed                 = true;
    worker.retry_count             = 3;
    AgentOptions options           = OptionsLoggingTo(home.Path());
    options.supervision.state_file = home.Path() / "state";
    config::ReplaceFile(options.supervision.state_file, FormatState({RunningRecord{worker, 0, {}, {}, {}, {}}}),
                        config::Durability::kProcessCrash);
    Agent agent(std::move(options));
    agent.GetCatalog().Load({{MakeService("s", {worker})}, {}});

    EXPECT_EQ(agent.GetSupervisor().Adopt(), 1);
    const std::vector<long> started = ReadNumbers(fifo);
    ASSERT_EQ(started.size(), 1u);
    const GroupKiller killer{static_cast<pid_t>(started[0])};
    EXPECT_TRUE(GroupRuns(killer.group));
    // Stopped through the agent: a managed process killed behind its back would be started again,
    // and left blocked on the FIFO writing into the directory being removed.
    EXPECT_NO_THROW(agent.StopProcess("worker", "node1"));
}

// A change whose save fails changes nothing, and starts nothing.
TEST(AgentPersist, AChangeWhoseSaveFailsChangesNothing)
{
    TempDir home;
    bool failing         = false;
    AgentOptions options = OptionsLoggingTo(home.Path());
    options.persist      = [&failing](const Definitions &) {
        if (failing) {
            throw std::runtime_error("disk full");
        }
    };
    Agent agent(std::move(options));
    const Process worker  = MakeProcess("worker", "exec sleep 1000");
    const Service kept    = MakeService("kept", {worker}),
                  changed = MakeService("kept", {MakeProcess("worker", "exec sleep 999")});
    const Route route{"host", "SERVER"};
    agent.GetCatalog().AddService(kept);
    failing                                                      = true;
    const std::pair<const char *, std::function<void()>> cases[] = {
        {"add a service with a new member",
         [&] { agent.GetCatalog().AddService(MakeService("new", {MakeProcess("newcomer", "exec sleep 1000")})); }},
        {"change a service's member", [&] { agent.GetCatalog().ChangeService("kept", changed); }},
        {"start a service under another definition", [&] { agent.StartService(changed); }},
        {"remove a service", [&] { agent.GetCatalog().RemoveService("kept"); }},
        {"add a route", [&] { agent.GetCatalog().AddRoute(route); }},
    };
    for (const auto &[what, change] : cases) {
        SCOPED_TRACE(what);
        EXPECT_THROW(change(), AgentError);
        EXPECT_EQ(agent.GetCatalog().Services(false), std::vector<Service>{kept});
        EXPECT_EQ(agent.GetCatalog().Routes(0), std::vector<Route>{});
        ASSERT_EQ(agent.GetSupervisor().List(false).size(), 1u);
        EXPECT_EQ(agent.GetSupervisor().List(false)[0].definition, worker);
        EXPECT_TRUE(agent.GetSupervisor().List(true).empty())
            << "a process started although its definition was not saved";
    }
}

// A process's log is the agent's own whatever the umask and never opened through a symbolic link.
TEST(AgentFiles, ProcessLogsAreTheAgentsOwn)
{
    TempDir home;
    const mode_t previous = umask(0);
    Agent agent(OptionsLoggingTo(home.Path()));
    agent.StartProcess(MakeProcess("writer", "exit 0"), 10);
    umask(previous);
    struct stat status {};
    ASSERT_EQ(lstat((home.Path() / "logs").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(lstat((home.Path() / "logs" / "writer.log").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    const fs::path outside = home.Path() / "outside";
    std::ofstream(outside).flush();
    fs::create_symlink(outside, home.Path() / "logs" / "leaky.log");
    EXPECT_THROW(agent.StartProcess(MakeProcess("leaky", "echo leaked"), 10), AgentError);
    EXPECT_EQ(fs::file_size(outside), 0u);
    EXPECT_EQ(agent.ProcessStatus("leaky", "node1").state, ProcessState::kFailed);
}

// Each process name has a log of its own, a name without '/', '%' or a leading '.' the same
// name: no two processes write one file, and none writes a hidden one.
TEST(AgentFiles, EachProcessNameHasALogOfItsOwn)
{
    const std::pair<std::string, std::string> names[] = {
        {"a_b", "a_b.log"}, {"a/b", "a%2Fb.log"}, {"a%2Fb", "a%252Fb.log"},
        {".x", "%2Ex.log"}, {"_.x", "_.x.log"},   {"..", "%2E..log"},
    };
    TempDir home;
    Agent agent(OptionsLoggingTo(home.Path()));
    for (const auto &[name, file] : names) {
        agent.StartProcess(MakeProcess(name, "echo '" + name + "'"), 10);
    }
    for (const auto &[name, file] : names) {
        EXPECT_EQ(ReadLog(home.Path() / "logs" / file), name + "\n") << name;
    }
}

// A process renamed while it runs goes on writing the log of its old name: a start of a process
// of that name is refused until it has ended.
TEST(AgentFiles, AStartWaitsForItsLogToBeFree)
{
    TempDir home;
    Agent agent(OptionsLoggingTo(home.Path()));
    agent.StartProcess(MakeProcess("old", "exec sleep 1000"), 0);
    agent.ChangeProcess("old", MakeProcess("new", "exec sleep 1000"));
    EXPECT_THAT([&] { agent.StartProcess(MakeProcess("old", "echo again"), 10); },
                ::testing::ThrowsMessage<AgentError>(
                    ::testing::HasSubstr("process old cannot start: its log old.log is in use by process new")));
    agent.StopProcess("new", "node1");
    EXPECT_NO_THROW(agent.StartProcess(MakeProcess("old", "echo again"), 10));
    EXPECT_EQ(ReadLog(home.Path() / "logs" / "old.log"), "again\n");
}

// A read of a process's output outside its bounds is refused, naming the bound.
TEST(AgentFiles, AReadOfOutputOutsideItsBoundsIsRefused)
{
    TempDir home;
    Agent agent(OptionsLoggingTo(home.Path()));
    agent.StartProcess(MakeProcess("p", "echo hi"), 10);
    const struct {
        std::string name;
        std::int64_t cursor;
        std::int32_t tail;
        std::chrono::seconds wait;
        std::string refusal;
    } cases[] = {
        {"q", 0, 0, 0s, "unknown process q"},
        {"p", -2, 0, 0s, "an output cursor is -1 or at least 0, not -2"},
        {"p", -1, -1, 0s, "a number of last lines cannot be negative"},
        {"p", 0, 0, -1s, "a wait is 0 to 3600 seconds, not -1"},
        {"p", 0, 0, 3601s, "a wait is 0 to 3600 seconds, not 3601"},
    };
    for (const auto &read : cases) {
        EXPECT_THAT([&] { agent.ProcessOutput(read.name, "node1", read.cursor, read.tail, read.wait); },
                    ::testing::ThrowsMessage<AgentError>(::testing::HasSubstr(read.refusal)));
    }
    EXPECT_EQ(agent.ProcessOutput("p", "node1", -1, 1, 3600s).data, "hi\n");
}

// A part of a line too long to hold waits for no end: the writer's memory stays bounded.
TEST(AgentFiles, ALogWriterWritesALongPartOfALineBeforeItsEnd)
{
    TempDir home;
    LogWriterThread writer(home.Path(), {});
    const std::string part(100 * 1024, 'x');
    ASSERT_TRUE(writer.Write(part));
    EXPECT_TRUE(Eventually([&] { return fs::file_size(home.Path() / "p.log") >= 64 * 1024; }));
    writer.Close();
    EXPECT_EQ(ReadLog(home.Path() / "p.log"), part);
}

// Each line begins with the UTC time it was written, one written in parts once.
TEST(AgentFiles, ALogWriterStampsEachLineOnceWithItsTime)
{
    TempDir home;
    LogWriterThread writer(home.Path(), {.timestamps = true});
    const std::string part(100 * 1024, 'x');
    ASSERT_TRUE(writer.Write("one\n" + part));
    EXPECT_TRUE(Eventually([&] { return fs::file_size(home.Path() / "p.log") >= 64 * 1024; }));
    ASSERT_TRUE(writer.Write("y\ntwo"));
    writer.Close();
    std::istringstream log(ReadLog(home.Path() / "p.log"));
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
    constexpr std::size_t kStamp = 25;
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        ASSERT_TRUE(std::regex_match(line.substr(0, kStamp), stamp)) << line.substr(0, 40);
        std::tm utc{};
        strptime(line.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
        EXPECT_LE(std::abs(timegm(&utc) - std::time(nullptr)), 60) << line.substr(0, kStamp);
        lines.push_back(line.substr(kStamp));
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"one", part + "y", "two"}));
}

// Whoever may change the users file may add a login of their own: it is refused unless only its
// owner, this user or root, may write it, and it is read from the descriptor whose owner and mode
// were checked, never through a symbolic link.
TEST(AgentFiles, AUsersFileOnlyItsOwnerMayWriteIsRead)
{
    enum class Shape {
        kFile,
        kLink,
        kFifo
    };
    struct Case {
        int mode;
        Shape shape;
        uid_t owner;
        std::string refusal;  // empty when accepted
    };
    const uid_t me     = geteuid();
    const Case cases[] = {
        {0600, Shape::kFile, me, ""},
        {0644, Shape::kFile, me, ""},
        {0620, Shape::kFile, me, "may be written by its group; allow only its owner (chmod go-w)"},
        {0602, Shape::kFile, me, "may be written by other users; allow only its owner (chmod go-w)"},
        {0600, Shape::kLink, me, "is a symbolic link; name the file itself"},
        {0600, Shape::kFile, me + 4242, "belongs to user " + std::to_string(me + 4242) + ","},
        // A FIFO without a writer would hold the read, and the agent's start, for ever.
        {0600, Shape::kFifo, me, "is not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refusal);
        if (c.owner != me && me != 0) {
            continue;  // only root can give a file away
        }
        TempDir home;
        const fs::path file = home.Path() / "users.real", users = home.Path() / "users";
        if (c.shape == Shape::kFifo) {
            ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
        } else {
            std::ofstream(file) << "operator:" << HashPassword("secret") << "\n";
        }
        fs::permissions(file, static_cast<fs::perms>(c.mode));
        ASSERT_EQ(chown(file.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        if (c.shape == Shape::kLink) {
            fs::create_symlink(file, users);
        } else {
            fs::rename(file, users);
        }
        if (c.refusal.empty()) {
            EXPECT_TRUE(Users::Load(users).Check("operator", "secret"));
        } else {
            EXPECT_THAT([&] { Users::Load(users); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(
                                                         "users file " + users.string() + " " + c.refusal)));
        }
    }
}

// An unknown user's check hashes the password as a known user's does, so that the time of a
// refusal does not tell which users exist.
TEST(AgentFiles, AnUnknownUsersCheckTakesAsLongAsAWrongPasswords)
{
    TempDir home;
    const fs::path users = home.Path() / "users";
    std::ofstream(users) << "operator:" << HashPassword("secret") << "\n";
    const Users loaded = Users::Load(users);
    auto time_of       = [&](const char *user) {
        const auto start = Clock::now();
        for (int i = 0; i < 5; ++i) {
            EXPECT_FALSE(loaded.Check(user, "guess"));
        }
        return Clock::now() - start;
    };
    time_of("nobody");  // the first check of an unknown user makes the hash it is checked against
    // Five checks without a hash take microseconds, with one milliseconds: a factor of ten leaves
    // room for a busy machine's noise and none for a skipped hash.
    const auto known = time_of("operator");
    EXPECT_GE(time_of("nobody"), known / 10);
}

// A login's role and uids follow its hash; without them it is an admin's, as before roles.
TEST(AgentFiles, AUsersLineGivesItsRoleAndUidsOrIsRefusedWithItsLineNumber)
{
    const std::string hash                            = HashPassword("secret");
    const std::pair<std::string, std::string> cases[] = {
        {"", "admin, uids any"},
        {":read", "read, uids any"},
        {":operate:1000,2000-2999,root", "operate, uids 1000,2000-2999,0"},
        {":boss", "users:2: unknown role 'boss'"},
        {":operate:12-3", "users:2: neither a user id, a range of them nor a user: '12-3'"},
        {":admin:", "users:2: neither a user id"},
        {":admin:1:2", "users:2: expected user:hash[:role[:uids]]"},
    };
    for (const auto &[fields, expected] : cases) {
        SCOPED_TRACE(fields);
        TempDir home;
        const fs::path users = home.Path() / "users";
        std::ofstream(users) << "# logins\noperator:" << hash << fields << "\n";
        try {
            const Users loaded = Users::Load(users);
            EXPECT_TRUE(loaded.Check("operator", "secret"));
            EXPECT_EQ(loaded.AccessOf("operator")->Describe(), expected);
        } catch (const std::runtime_error &error) {
            EXPECT_THAT(error.what(), ::testing::HasSubstr(expected));
        }
    }
}

// A peers file holds passwords: its owner's alone, one server:user:password line per server.
TEST(AgentFiles, APeersFileIsItsOwnersAloneAndWellFormed)
{
    const std::tuple<int, const char *, const char *> cases[] = {
        {0600, "# peers\nPA_B:op:pass:with:colons\n\nPA_C:op:\n", nullptr},
        {0640, "PA_B:op:pass\n", "may be read or written by its group"},
        {0600, "PA_B:op:pass\nPA_C:op\n", "peers:2: expected server:user:password"},
        {0600, "PA_B::pass\n", "peers:1: expected server:user:password"},
        {0600, "PA_B:op:a\nPA_B:op:b\n", "peers:2: server PA_B is listed twice"},
    };
    for (const auto &[mode, text, refusal] : cases) {
        SCOPED_TRACE(text);
        TempDir home;
        const fs::path peers = home.Path() / "peers";
        std::ofstream(peers) << text;
        fs::permissions(peers, static_cast<fs::perms>(mode));
        try {
            const auto logins = LoadPeers(peers);
            EXPECT_EQ(refusal, nullptr);
            EXPECT_EQ(logins.at("PA_B").password, "pass:with:colons");
            EXPECT_EQ(logins.size(), 2u);
        } catch (const std::runtime_error &error) {
            ASSERT_NE(refusal, nullptr) << error.what();
            EXPECT_THAT(error.what(),
                        ::testing::AllOf(::testing::HasSubstr(refusal), ::testing::HasSubstr(peers.string())));
        }
    }
}

}  // namespace
