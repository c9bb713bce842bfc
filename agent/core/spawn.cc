#include "core/spawn.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <string_view>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "core/proc_entry.h"

extern char **environ;

namespace paagent {
namespace {

[[noreturn]] void ThrowErrno(const std::string &what) { throw std::system_error(errno, std::generic_category(), what); }

// pidfd_send_signal's flag for the whole process group of the pidfd's process (Linux 6.9).
constexpr unsigned kSignalProcessGroup = 1U << 2;

struct DirectoryCloser {
    void operator()(DIR *directory) const { closedir(directory); }
};

// Whether a process of the group runs, from a look at every process.
bool GroupRuns(pid_t group)
{
    std::unique_ptr<DIR, DirectoryCloser> proc(opendir("/proc"));
    if (!proc) {
        return true;  // cannot tell: assume so
    }
    while (const dirent *item = readdir(proc.get())) {
        std::string name = item->d_name;
        pid_t pid        = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc()) {
            continue;
        }
        auto entry = ReadEntry(name);
        if (entry && entry->group == group && entry->Running()) {
            return true;
        }
    }
    return false;
}

struct Pipe {
    tds::FileDescriptor read;
    tds::FileDescriptor write;
};

Pipe MakePipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        ThrowErrno("cannot create a pipe");
    }
    return {tds::FileDescriptor(ends[0]), tds::FileDescriptor(ends[1])};
}

// Two pidfds of the process, the second for its group; invalid when it cannot be opened.
LaunchedChild Watchable(pid_t pid)
{
    // glibc's own pidfd_open wrapper lacks C linkage in this version; call the kernel directly.
    LaunchedChild process;
    process.pid   = pid;
    process.pidfd = tds::FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (process.pidfd.Valid()) {
        process.group = tds::FileDescriptor(fcntl(process.pidfd.Get(), F_DUPFD_CLOEXEC, 0));
    }
    return process;
}

// What the service manager tells the agent alone: a process given it would take the agent's
// notices, watchdog or journal stream for its own. Likewise the launch key of an agent that
// another agent started: each process gets a key of its own.
bool MeantForTheAgent(std::string_view entry)
{
    for (std::string_view name : {"NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID=", "JOURNAL_STREAM="}) {
        if (entry.starts_with(name)) {
            return true;
        }
    }
    return entry.starts_with(kLaunchKeyName) && entry.substr(kLaunchKeyName.size()).starts_with('=');
}

// 128 random bits in hexadecimal: no process can guess the key of another.
std::string NewLaunchKey()
{
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        ThrowErrno("cannot make a launch key");
    }
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string key;
    for (unsigned char byte : bytes) {
        key += kDigits[byte >> 4];
        key += kDigits[byte & 15];
    }
    return key;
}

// Words the shell runs itself, builtins and reserved words: a command starting with one needs the
// shell even when it holds nothing else the shell would read.
constexpr std::string_view kShellWords[] = {
    ".",     ":",       "alias", "bg",     "break", "case",     "cd",       "chdir",  "command", "continue",
    "do",    "done",    "echo",  "elif",   "else",  "esac",     "eval",     "exec",   "exit",    "export",
    "false", "fc",      "fg",    "fi",     "for",   "function", "getopts",  "hash",   "if",      "in",
    "jobs",  "kill",    "local", "printf", "pwd",   "read",     "readonly", "return", "select",  "set",
    "shift", "source",  "test",  "then",   "time",  "times",    "trap",     "true",   "type",    "ulimit",
    "umask", "unalias", "unset", "until",  "wait",  "while"};

// A character that means nothing to the shell within a word.
bool Plain(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("-_./=:,+@%").find(c) != std::string_view::npos;
}

// The words of a command that holds nothing the shell would read (no quote, expansion,
// redirection, pattern, separator or assignment, no word the shell runs itself); none otherwise.
std::optional<std::vector<std::string>> PlainWords(const std::string &command)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : command + ' ') {
        if (c != ' ') {
            if (!Plain(c)) {
                return std::nullopt;
            }
            word += c;
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    if (words.empty() || words[0].find('=') != std::string::npos ||
        std::find(std::begin(kShellWords), std::end(kShellWords), words[0]) != std::end(kShellWords)) {
        return std::nullopt;
    }
    return words;
}

// Everything the child needs, prepared before fork: after it only async-signal-safe calls run.
struct ChildPlan {
    std::vector<std::string> environment_storage;
    std::vector<char *> environment;
    // The command's own words, so that the process is the program's, or else sh -c and the command.
    std::vector<std::string> arguments_storage;
    std::vector<char *> arguments;
    const char *program = nullptr;
    int log_fd          = -1;
    int null_fd         = -1;
    int started_fd      = -1;  // written once the child is in its own session
    int directory_fd    = -1;  // the log directory, for the log writer
    int output_read     = -1;  // a pipe from the process to its log writer, when it has one
    int output_write    = -1;
    std::vector<std::string> writer_storage;
    std::vector<char *> writer;
    int gate_fd      = -1;  // read for the byte that lets the command run
    uid_t uid        = 0;
    gid_t gid        = 0;
    bool change_user = false;
};

// The primary group of a user, or the number of the user itself when it has no entry.
gid_t PrimaryGroup(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_gid;
    }
    return static_cast<gid_t>(uid);
}

// The agent blocks SIGINT and SIGTERM for its own use; a blocked mask survives exec.
void UnblockSignals()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs the log writer in a session of its own, so that no signal to the process's group or
// session, or to the agent's, reaches it.
[[noreturn]] void RunLogWriter(const ChildPlan &plan)
{
    UnblockSignals();
    setsid();
    dup2(plan.output_read, STDIN_FILENO);
    dup2(plan.log_fd, STDOUT_FILENO);
    // Not the agent's standard error, which the writer would hold open after the agent ends.
    dup2(plan.log_fd, STDERR_FILENO);
    // dup2 onto the same number would leave it closed on exec.
    if (plan.directory_fd == 3) {
        fcntl(3, F_SETFD, 0);
    } else {
        dup2(plan.directory_fd, 3);
    }
    // Nor anything else the agent holds open without close-on-exec.
    close_range(4, ~0U, 0);
    char *const no_environment[] = {nullptr};
    execve(plan.writer[0], plan.writer.data(), no_environment);
    _exit(127);
}

// Starts the log writer, as the agent's user, through a child that exits at once and is reaped
// here: the writer, orphaned, is none of the process's children (a program waiting for all of
// its own would wait for it for ever); it comes back to the agent, their subreaper, which reaps it
// with the orphans of the groups. It ends once every process holding the pipe has closed it; the
// agent's copy closes when launch returns.
void StartLogWriter(const ChildPlan &plan)
{
    const pid_t middle = fork();
    if (middle < 0) {
        ThrowErrno("cannot fork the log writer");
    }
    if (middle == 0) {
        // _Fork runs no fork handlers, which need not work in the child of a threaded program.
        const pid_t writer = _Fork();
        if (writer == 0) {
            RunLogWriter(plan);
        }
        _exit(writer < 0 ? errno : 0);
    }
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        throw std::system_error(WEXITSTATUS(status), std::generic_category(), "cannot fork the log writer");
    }
}

[[noreturn]] void RunChild(const ChildPlan &plan)
{
    UnblockSignals();
    setsid();
    if (!plan.writer.empty()) {
        dup2(plan.output_write, STDOUT_FILENO);
        dup2(plan.output_write, STDERR_FILENO);
    } else {
        dup2(plan.log_fd, STDOUT_FILENO);
        dup2(plan.log_fd, STDERR_FILENO);
    }
    dup2(plan.null_fd, STDIN_FILENO);
    if (plan.change_user && (setgroups(0, nullptr) != 0 || setgid(plan.gid) != 0 || setuid(plan.uid) != 0)) {
        _exit(126);
    }
    // Descriptors of other children's gates, inherited from a fork in another thread, would
    // keep those gates from closing when the agent ends.
    const unsigned low  = static_cast<unsigned>(std::min(plan.started_fd, plan.gate_fd));
    const unsigned high = static_cast<unsigned>(std::max(plan.started_fd, plan.gate_fd));
    close_range(STDERR_FILENO + 1, low - 1, 0);
    close_range(low + 1, high - 1, 0);
    close_range(high + 1, ~0U, 0);
    const char started = 1;
    (void)!write(plan.started_fd, &started, 1);
    char go     = 0;
    ssize_t got = 0;
    while ((got = read(plan.gate_fd, &go, 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) {
        _exit(125);
    }
    execvpe(plan.program, plan.arguments.data(), plan.environment.data());
    // Said in the process's log, as the shell would have said it.
    const char *reason = strerrordesc_np(errno);
    for (const char *part : {plan.program, ": cannot run: ", reason != nullptr ? reason : "error", "\n"}) {
        (void)!write(STDERR_FILENO, part, std::strlen(part));
    }
    _exit(127);
}

}  // namespace

bool ProcessGroup::Signal(int number) const
{
    if (syscall(SYS_pidfd_send_signal, pidfd_.Get(), number, nullptr, kSignalProcessGroup) == 0) {
        return true;
    }
    // Kernels before 6.9 cannot signal a group through a pidfd: its number is all there is.
    if (errno == EINVAL) {
        return kill(-leader_, number) == 0;
    }
    return false;
}

void ProcessGroup::ReapLeader() const
{
    siginfo_t info{};
    (void)waitid(P_PIDFD, static_cast<id_t>(pidfd_.Get()), &info, WEXITED | WNOHANG);
}

bool ProcessGroup::Alive() const
{
    // The leader counts until the agent has reaped it.
    siginfo_t info{};
    if (waitid(P_PIDFD, static_cast<id_t>(pidfd_.Get()), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        return true;
    }
    if (!Signal(0) && errno == ESRCH) {
        return false;
    }
    // Processes that exited stay in the group until they are reaped, and an orphan's new parent
    // may never reap it: look for one that still runs. The group holds its number while it has
    // a process, so what carries that number is this group.
    return GroupRuns(leader_);
}

bool DescendsFrom(pid_t pid, pid_t ancestor)
{
    // Bounded, in case parent links change under the walk.
    for (int depth = 0; depth < 4096 && pid > 1; ++depth) {
        if (pid == ancestor) {
            return true;
        }
        auto entry = ReadEntry(std::to_string(pid));
        if (!entry) {
            return false;
        }
        pid = entry->parent;
    }
    return false;
}

namespace {

// Creates the directory with mode 0700 when it is missing; whether it did.
bool MakeDirectory(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        ThrowErrno("cannot create " + path);
    }
    return false;
}

}  // namespace

void CreatePrivateDirectory(const std::filesystem::path &path)
{
    // "DIR/" names DIR; its parents are made as the umask makes them.
    const std::filesystem::path directory = path.has_filename() ? path : path.parent_path();
    if (directory.has_parent_path()) {
        std::filesystem::create_directories(directory.parent_path());
    }
    // The umask may have taken bits off the new directory.
    if (MakeDirectory(directory) && chmod(directory.c_str(), 0700) != 0) {
        ThrowErrno("cannot restrict directory " + directory.string());
    }
}

tds::FileDescriptor OpenPrivateDirectory(const std::string &path)
{
    MakeDirectory(path);
    tds::FileDescriptor directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.Valid()) {
        ThrowErrno("cannot open directory " + path);
    }
    // The umask may have taken bits off a new directory, or an old one may be open to others.
    if (fchmod(directory.Get(), 0700) != 0) {
        ThrowErrno("cannot restrict directory " + path);
    }
    return directory;
}

LaunchedChild Launch(const LaunchRequest &request)
{
    tds::FileDescriptor log(openat(request.log_directory, request.log_name.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!log.Valid()) {
        ThrowErrno("cannot open log " + request.log_name);
    }
    if (fchmod(log.Get(), 0600) != 0) {
        ThrowErrno("cannot restrict log " + request.log_name);
    }
    tds::FileDescriptor null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null.Valid()) {
        ThrowErrno("cannot open /dev/null");
    }
    if (request.uid != getuid() && geteuid() != 0) {
        throw std::system_error(EPERM, std::generic_category(),
                                "cannot run as user " + std::to_string(request.uid) + " unless the agent runs as root");
    }

    ChildPlan plan;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (!MeantForTheAgent(*entry)) {
            plan.environment_storage.emplace_back(*entry);
        }
    }
    plan.environment_storage.insert(plan.environment_storage.end(), request.environment.begin(),
                                    request.environment.end());
    const std::string launch_key = NewLaunchKey();
    plan.environment_storage.push_back(std::string(kLaunchKeyName) + "=" + launch_key);
    for (auto &entry : plan.environment_storage) {
        plan.environment.push_back(entry.data());
    }
    plan.environment.push_back(nullptr);
    Pipe output;
    if (!request.log_writer.empty()) {
        output              = MakePipe();
        plan.writer_storage = request.log_writer;
        plan.writer_storage.push_back(request.log_name);
        for (auto &argument : plan.writer_storage) {
            plan.writer.push_back(argument.data());
        }
        plan.writer.push_back(nullptr);
        plan.output_read  = output.read.Get();
        plan.output_write = output.write.Get();
        plan.directory_fd = request.log_directory;
    }
    if (auto words = PlainWords(request.command)) {
        plan.arguments_storage = std::move(*words);
        plan.program           = plan.arguments_storage[0].c_str();
    } else {
        plan.arguments_storage = {"sh", "-c", request.command};
        plan.program           = "/bin/sh";
    }
    for (auto &argument : plan.arguments_storage) {
        plan.arguments.push_back(argument.data());
    }
    plan.arguments.push_back(nullptr);
    plan.log_fd      = log.Get();
    plan.null_fd     = null.Get();
    plan.uid         = request.uid;
    plan.change_user = request.uid != geteuid();
    if (plan.change_user) {
        plan.gid = PrimaryGroup(request.uid);
    }

    if (!plan.writer.empty()) {
        StartLogWriter(plan);
    }
    // Written by the child (or closed by its exit): once it reads, the child has its own
    // session and process group, so the group can be signalled as soon as launch returns.
    Pipe started    = MakePipe();
    Pipe gate       = MakePipe();
    plan.started_fd = started.write.Get();
    plan.gate_fd    = gate.read.Get();
    pid_t pid       = fork();
    if (pid < 0) {
        ThrowErrno("cannot fork");
    }
    if (pid == 0) {
        RunChild(plan);
    }
    started.write.Reset();
    gate.read.Reset();
    char byte = 0;
    while (read(started.read.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
    // Only the agent reaps its children, so the pidfd can be opened even after an early exit.
    LaunchedChild child = Watchable(pid);
    if (!child.group.Valid()) {
        int error = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throw std::system_error(error, std::generic_category(), "cannot watch process " + std::to_string(pid));
    }
    // The child waits at its gate: it has not exited and its entry is there to read.
    child.identity   = IdentityOf(pid).value_or(ProcessIdentity{pid, 0});
    child.gate       = std::move(gate.write);
    child.launch_key = launch_key;
    return child;
}

void Release(LaunchedChild &child)
{
    const char go = 1;
    (void)!write(child.gate.Get(), &go, 1);
    child.gate.Reset();
}

void Cancel(LaunchedChild &child)
{
    ProcessGroup(child.pid, std::move(child.group)).Signal(SIGKILL);
    siginfo_t info{};
    while (waitid(P_PIDFD, static_cast<id_t>(child.pidfd.Get()), &info, WEXITED) != 0 && errno == EINTR) {
    }
    child.gate.Reset();
}

std::optional<ProcessIdentity> IdentityOf(pid_t pid)
{
    auto entry = ReadEntry(std::to_string(pid));
    if (!entry || !entry->Running()) {
        return std::nullopt;
    }
    return ProcessIdentity{entry->group, entry->start_time};
}

namespace {

// Why the process is none this agent could have launched as recorded; none when it could be.
std::optional<std::string> NotLaunchedHere(const RecordedLaunch &launch)
{
    if (launch.pid == 1 || DescendsFrom(getpid(), launch.pid)) {
        return "it is PID 1, the agent or one of the agent's ancestors";
    }
    const std::string pid = std::to_string(launch.pid);
    auto entry            = ReadEntry(pid);
    if (!entry || entry->group != launch.pid || entry->session != launch.pid) {
        return "it does not lead a session of its own, as every process the agent launches does";
    }
    // The user asked for when the agent may take it on, else the agent's own (see launch).
    const uid_t user = geteuid() == 0 ? launch.uid : getuid();
    if (ReadRealUid(pid) != user) {
        return "it does not run as user " + std::to_string(user);
    }
    if (launch.launch_key.empty()) {
        return "its record has no launch key: an agent without launch keys wrote it";
    }
    if (!EnvironmentHolds(pid, std::string(kLaunchKeyName) + "=" + launch.launch_key)) {
        return "its environment lacks the launch key the agent gave it";
    }
    return std::nullopt;
}

}  // namespace

std::optional<LaunchedChild> Adopt(const RecordedLaunch &launch, std::string &refusal)
{
    LaunchedChild process = Watchable(launch.pid);
    if (!process.group.Valid()) {
        return std::nullopt;
    }
    // Read once the pidfd holds the process: if the process still runs after the reads, what
    // they read was its own and not that of a later process given the same PID.
    auto now = IdentityOf(launch.pid);
    if (!now || !(*now == launch.identity)) {
        return std::nullopt;
    }
    if (auto reason = NotLaunchedHere(launch)) {
        refusal = *reason;
        return std::nullopt;
    }
    if (syscall(SYS_pidfd_send_signal, process.pidfd.Get(), 0, nullptr, 0) != 0) {
        return std::nullopt;
    }
    process.identity   = launch.identity;
    process.launch_key = launch.launch_key;
    return process;
}

}  // namespace paagent
