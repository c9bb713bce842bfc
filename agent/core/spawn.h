// Starting a command as a child process the agent can watch and signal, and the process group
// it runs in.
#ifndef PAAGENT_CORE_SPAWN_H
#define PAAGENT_CORE_SPAWN_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "tds/socket.h"

namespace paagent {

struct LaunchRequest {
    std::string command;                   // run as its words, or by /bin/sh -c when it holds shell syntax
    uid_t uid = 0;                         // user to run as
    std::vector<std::string> environment;  // "NAME=value" entries added to the agent's own
    int log_directory = -1;                // a directory opened by the caller
    std::string log_name;                  // standard output and error are appended to this file in it
    // A program (its path and arguments, the log's name appended) that copies its standard input
    // into the log open on its standard output, with the log directory as descriptor 3; empty to
    // have the process write its log itself. It runs as the agent's user in a session of its own,
    // and is none of the process's children.
    std::vector<std::string> log_writer;
};

// The process group a launched command runs in, named by a pidfd of its leader. Signals reach
// this group only, even once its number has been given to another process.
class ProcessGroup {
public:
    ProcessGroup(pid_t leader, tds::FileDescriptor pidfd) : leader_(leader), pidfd_(std::move(pidfd)) {}

    pid_t Leader() const { return leader_; }
    // The leader's pidfd: readable once it has exited.
    int Pidfd() const { return pidfd_.Get(); }
    // Sends the signal to every process of the group; false when the group has no process left.
    bool Signal(int number) const;

private:
    pid_t leader_;
    tds::FileDescriptor pidfd_;
};

// What tells one process from another that has since been given its PID.
struct ProcessIdentity {
    pid_t group              = 0;
    std::uint64_t start_time = 0;  // clock ticks after boot, from /proc/PID/stat

    bool operator==(const ProcessIdentity &) const = default;
};

// The identity of a process that runs now (a zombie does not), if there is one of that PID.
std::optional<ProcessIdentity> IdentityOf(pid_t pid);

// The environment variable holding a launched process's launch key: proof, for a later agent,
// that the process is one an agent launched.
inline constexpr std::string_view kLaunchKeyName = "PA_LAUNCH_KEY";

// What a launched child needs until it runs its command (spawn.cc). Ending it before Release
// ends the child without running its command; ending it waits until the child no longer needs
// it, which it can tell without waiting through its descriptor (see StartDescriptor).
struct ChildStart;
struct ChildStartEnd {
    void operator()(ChildStart *start) const;
};
using ChildStartPointer = std::unique_ptr<ChildStart, ChildStartEnd>;
// Becomes readable at its end of file once the child has run its command or exited.
int StartDescriptor(const ChildStart &start);

struct LaunchedChild {
    pid_t pid = 0;
    ProcessIdentity identity;
    std::string launch_key;     // random, new for every launch, in its environment as kLaunchKeyName
    tds::FileDescriptor pidfd;  // readable once the child has exited; names its group
    // Its log writer, when it has one, and a pidfd of it, readable once the writer has exited:
    // reaped alone, a writer costs nothing when another ends.
    pid_t writer_pid = 0;
    tds::FileDescriptor writer;
    ChildStartPointer start;         // until it has run its command; none when adopted
    ChildStartPointer writer_start;  // until its log writer has run its program
};

// The number of descriptor numbers a Launcher keeps.
inline constexpr std::size_t kLaunchSlots = 6;

// Starts commands, one at a time. A new process shares the agent's descriptors until it makes a
// copy of those below a few numbers this launcher keeps for its own use, low and fixed, through
// which it takes the descriptors it needs: a start costs the same whatever the number of
// descriptors the agent holds (thousands when it runs thousands of processes).
class Launcher {
public:
    Launcher();

    // Starts the command in a session and process group of its own, with standard input from
    // /dev/null, and its log writer, if it has one, outside them: no signal to the group
    // reaches the writer, which outlives the agent and ends once every process holding the
    // command's output has closed it. The child waits for release before it runs the command,
    // and exits with status 125 without running it when the gate closes first (the agent ended
    // meanwhile), so that a command runs only once the caller has recorded its process. The log
    // is created with mode 0600 and never through a symbolic link. Throws std::system_error
    // when the log cannot be opened, the user cannot be taken on, or the process or its log
    // writer cannot be created; a command that cannot be run starts and then exits with status
    // 127.
    LaunchedChild Launch(const LaunchRequest &request);

private:
    // Puts a duplicate of the descriptor at the slot's number, for the next child to take.
    int Place(std::size_t slot, int fd);
    // Drops what the slots hold, so that no pipe end stays open in the agent.
    void ClearSlots();

    tds::FileDescriptor null_;
    std::array<tds::FileDescriptor, kLaunchSlots> slots_;
};

// Lets the launched child run its command. Its start and its writer's are left to the caller, to
// be ended once their descriptors say so.
void Release(LaunchedChild &child);
// Kills the launched child, before its release, with its group, and reaps it: its command never
// runs.
void Cancel(LaunchedChild &child);

// A process another agent launched, as that agent recorded it.
struct RecordedLaunch {
    pid_t pid = 0;
    ProcessIdentity identity;
    std::string launch_key;
    uid_t uid = 0;  // the user it was to run as (see LaunchRequest)
};

// Takes on a process that another agent launched, if it is still the recorded process and one
// this agent could have launched: the leader of a session of its own, running as the user this
// agent would run it as, with its launch key in its environment, and none of PID 1, the agent
// and the agent's ancestors. Its pidfds, gate-less; else nullopt, with refusal saying which
// check failed, or left empty when the process has ended or its PID is another process's.
std::optional<LaunchedChild> Adopt(const RecordedLaunch &launch, std::string &refusal);

// The agent's environment ("NAME=value") less what the service manager meant for the agent alone:
// what every program the agent runs starts from.
std::vector<std::string> InheritedEnvironment();

// 128 random bits in hexadecimal, which no process can guess. Throws std::system_error.
std::string RandomToken();

// Whether pid is ancestor or one of its descendants, by the parent links the kernel shows now.
bool DescendsFrom(pid_t pid, pid_t ancestor);

// Creates the directory, and its missing parents, when it is missing: with mode 0700 whatever the
// umask, while one that exists keeps the mode its owner gave it. Throws std::system_error.
void CreatePrivateDirectory(const std::filesystem::path &path);
// Opens the directory, creating it with mode 0700 when it is missing, and keeps it to its owner
// (mode 0700). Refuses a symbolic link. Throws std::system_error.
tds::FileDescriptor OpenPrivateDirectory(const std::string &path);

}  // namespace paagent

#endif  // PAAGENT_CORE_SPAWN_H
