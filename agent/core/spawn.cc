#include "core/spawn.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <spawn.h>
#include <string_view>
#include <sys/mman.h>
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

// A pidfd of the process; invalid when it cannot be opened.
LaunchedChild Watchable(pid_t pid)
{
    // glibc's own pidfd_open wrapper lacks C linkage in this version; call the kernel directly.
    LaunchedChild process;
    process.pid   = pid;
    process.pidfd = tds::FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
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

}  // namespace

std::vector<std::string> InheritedEnvironment()
{
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (!MeantForTheAgent(*entry)) {
            environment.emplace_back(*entry);
        }
    }
    return environment;
}

namespace {

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
// "exec WORDS" is WORDS: the shell would only replace itself with them.
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
    if (words.size() > 1 && words[0] == "exec" && !words[1].starts_with('-')) {
        words.erase(words.begin());
    }
    if (words.empty() || words[0].find('=') != std::string::npos ||
        std::find(std::begin(kShellWords), std::end(kShellWords), words[0]) != std::end(kShellWords)) {
        return std::nullopt;
    }
    return words;
}

// A stack of its own for the child, which runs in the agent's memory until its exec.
constexpr std::size_t kChildStackBytes = 64 * 1024;

// ThreadSanitizer's clone cannot run a child in its parent's memory: under it the child gets a
// copy, as from fork.
#if defined(__SANITIZE_THREAD__)
constexpr int kShareMemory = 0;
#else
constexpr int kShareMemory = CLONE_VM;
#endif
// A child shares the agent's descriptor table until it copies the few it needs.
constexpr int kChildFlags = CLONE_FILES | SIGCHLD;

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

// What a child reads, all prepared before it starts: it makes system calls only, and writes to
// nothing but its own stack (see RunChild). Descriptors are the launcher's slots.
struct ChildPlan {
    const char *const *arguments   = nullptr;
    const char *const *environment = nullptr;
    // Where to look for the program, as the shell looks along PATH, and for each the arguments that
    // run it through /bin/sh when it is a script without an interpreter line.
    const char *const *candidates             = nullptr;
    const char *const *const *shell_arguments = nullptr;
    const char *program                       = nullptr;  // as the command names it, for a failure's message
    int first_unused                          = 0;        // above every slot: the copy stops below it
    int input                                 = -1;
    int output                                = -1;  // standard output and error
    int directory                             = -1;  // given as descriptor 3, when there is one
    int started                               = -1;  // written once the child is in its own session
    int gate                                  = -1;  // read for the byte that lets the command run
    uid_t uid                                 = 0;
    gid_t gid                                 = 0;
    bool change_user                          = false;
};

// The kernel's sigaction, which the child reads and sets through the raw system call.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};

__attribute__((no_sanitize("address", "thread", "undefined"))) void WriteError(const char *text)
{
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    syscall(SYS_write, STDERR_FILENO, text, length);
}

// Closes every descriptor from low up, but keep and other_keep (-1 for none).
__attribute__((no_sanitize("address", "thread", "undefined"))) void CloseAllBut(int low, int keep, int other_keep)
{
    const int first  = keep < other_keep ? keep : other_keep;
    const int second = keep < other_keep ? other_keep : keep;
    for (int kept : {first, second}) {
        if (kept >= low) {
            syscall(SYS_close_range, low, kept - 1, 0);
            low = kept + 1;
        }
    }
    syscall(SYS_close_range, low, ~0U, 0);
}

// The child, up to the exec of its command. It shares the agent's memory, so it makes system
// calls only, never through a library function that could take a lock or write memory, and is
// left out of the sanitizers' bookkeeping. Only errno, the launching thread's, can change: up to
// the started byte that thread waits for it, and after it only a failed exec (of a program found
// a moment before) writes it.
__attribute__((no_sanitize("address", "thread", "undefined"))) int RunChild(void *argument)
{
    const ChildPlan &plan = *static_cast<const ChildPlan *>(argument);
    // The descriptor table is the agent's until this copy of its lowest numbers, the slots
    // among them; nothing before it may change a descriptor.
    if (syscall(SYS_close_range, plan.first_unused, ~0U, CLOSE_RANGE_UNSHARE) != 0) {
        syscall(SYS_exit_group, 126);
    }
    syscall(SYS_dup2, plan.input, STDIN_FILENO);
    syscall(SYS_dup2, plan.output, STDOUT_FILENO);
    syscall(SYS_dup2, plan.output, STDERR_FILENO);
    int low = STDERR_FILENO + 1;
    if (plan.directory >= 0) {
        syscall(SYS_dup2, plan.directory, low++);
    }
    CloseAllBut(low, plan.started, plan.gate);
    syscall(SYS_setsid);
    if (plan.change_user && (syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setgid, plan.gid) != 0 ||
                             syscall(SYS_setuid, plan.uid) != 0)) {
        syscall(SYS_exit_group, 126);
    }
    const char started = 1;
    char go            = 0;
    if (plan.started >= 0) {
        syscall(SYS_write, plan.started, &started, 1);
    }
    if (plan.gate >= 0 && syscall(SYS_read, plan.gate, &go, 1) != 1) {
        syscall(SYS_exit_group, 125);
    }
    // The command starts with default signal handling and nothing blocked: the agent blocks the
    // signals it waits for, and a blocked mask survives exec.
    for (int number = 1; number < NSIG; ++number) {
        KernelSigaction action{};
        if (syscall(SYS_rt_sigaction, number, nullptr, &action, sizeof action.mask) == 0 && action.handler != SIG_DFL &&
            action.handler != SIG_IGN) {
            action = KernelSigaction{};
            syscall(SYS_rt_sigaction, number, &action, nullptr, sizeof action.mask);
        }
    }
    const std::uint64_t none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    // As the shell: the first candidate that runs, or the reason of the last that exists.
    int reason = ENOENT;
    for (std::size_t index = 0; plan.candidates[index] != nullptr; ++index) {
        syscall(SYS_execve, plan.candidates[index], plan.arguments, plan.environment);
        const int error = errno;
        if (error == ENOEXEC) {
            syscall(SYS_execve, "/bin/sh", plan.shell_arguments[index], plan.environment);
        }
        if (error == EACCES) {
            reason = EACCES;
        } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT) {
            reason = error;
            break;
        }
    }
    // Said in the process's log, as the shell would have said it.
    const char *description = strerrordesc_np(reason);
    WriteError(plan.program);
    WriteError(": cannot run: ");
    WriteError(description != nullptr ? description : "error");
    WriteError("\n");
    syscall(SYS_exit_group, 127);
    return 127;
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

std::string RandomToken()
{
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        ThrowErrno("cannot draw random bits");
    }
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kDigits[byte >> 4];
        token += kDigits[byte & 15];
    }
    return token;
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

namespace {

// The words of the command, or sh -c and the command when it holds shell syntax.
std::vector<std::string> CommandArguments(const std::string &command)
{
    if (auto words = PlainWords(command)) {
        return std::move(*words);
    }
    return {"/bin/sh", "-c", command};
}

// The paths the shell would try for the program, along the PATH of the process's environment.
std::vector<std::string> Candidates(const std::string &program, const std::vector<std::string> &environment)
{
    if (program.find('/') != std::string::npos) {
        return {program};
    }
    std::string_view directories = "/bin:/usr/bin";
    for (const std::string &entry : environment) {
        if (entry.starts_with("PATH=")) {
            directories = std::string_view(entry).substr(5);
        }
    }
    std::vector<std::string> candidates;
    for (;;) {
        const std::size_t end            = directories.find(':');
        const std::string_view directory = directories.substr(0, end);
        // An empty entry is the current directory.
        candidates.push_back(directory.empty() ? program : std::string(directory) + "/" + program);
        if (end == std::string_view::npos) {
            break;
        }
        directories.remove_prefix(end + 1);
    }
    // Found here, so that the child's exec rarely fails: its failures change this thread's errno.
    for (const std::string &candidate : candidates) {
        if (access(candidate.c_str(), X_OK) == 0) {
            return {candidate};
        }
    }
    return candidates;
}

std::vector<const char *> Pointers(const std::vector<std::string> &strings)
{
    std::vector<const char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string &text : strings) {
        pointers.push_back(text.c_str());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The slots' uses.
constexpr std::size_t kInputSlot     = 0;
constexpr std::size_t kOutputSlot    = 1;
constexpr std::size_t kDirectorySlot = 2;
constexpr std::size_t kStartedSlot   = 3;
constexpr std::size_t kGateSlot      = 4;

}  // namespace

// Everything a launched child uses until its exec: the strings and arrays its plan points into,
// and its stack, all in the agent's memory, which the child shares until then.
struct ChildStart {
    explicit ChildStart(std::vector<std::string> argument_words, std::vector<std::string> environment_entries)
        : arguments_storage(std::move(argument_words)), arguments(Pointers(arguments_storage)),
          environment_storage(std::move(environment_entries)), environment(Pointers(environment_storage)),
          candidates_storage(Candidates(arguments_storage[0], environment_storage)),
          candidates(Pointers(candidates_storage))
    {
        for (const std::string &candidate : candidates_storage) {
            std::vector<const char *> shell{"/bin/sh", candidate.c_str()};
            shell.insert(shell.end(), arguments.begin() + 1, arguments.end());
            shell_arguments_storage.push_back(std::move(shell));
        }
        for (const auto &shell : shell_arguments_storage) {
            shell_arguments.push_back(shell.data());
        }
        plan.arguments       = arguments.data();
        plan.environment     = environment.data();
        plan.candidates      = candidates.data();
        plan.shell_arguments = shell_arguments.data();
        plan.program         = arguments[0];
        stack = mmap(nullptr, kChildStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (stack == MAP_FAILED) {
            ThrowErrno("cannot map a stack for a child");
        }
    }
    ChildStart(const ChildStart &)            = delete;
    ChildStart &operator=(const ChildStart &) = delete;
    ~ChildStart()
    {
        // A child not yet released reads the end of its gate and exits without running its command.
        gate.Reset();
        if (started.Valid()) {
            char byte   = 0;
            ssize_t got = 0;
            while ((got = read(started.Get(), &byte, 1)) != 0 && (got > 0 || errno == EINTR)) {
            }
        }
        if (stack != MAP_FAILED) {
            munmap(stack, kChildStackBytes);
        }
    }

    // Waits for the child's started byte, or its end: the child has its own descriptors, and the
    // slots may change.
    void AwaitStarted()
    {
        char byte = 0;
        while (read(started.Get(), &byte, 1) < 0 && errno == EINTR) {
        }
    }

    // Starts the child on its stack, with the flags beside kChildFlags; its PID, and its pidfd
    // when pidfd is given.
    pid_t Clone(int flags, tds::FileDescriptor *pidfd = nullptr)
    {
        int fd          = -1;
        const pid_t pid = clone(RunChild, static_cast<char *>(stack) + kChildStackBytes,
                                flags | kChildFlags | (pidfd != nullptr ? CLONE_PIDFD : 0), &plan, &fd);
        if (pid < 0) {
            ThrowErrno("cannot create a process");
        }
        if (pidfd != nullptr) {
            *pidfd = tds::FileDescriptor(fd);
        }
        return pid;
    }

    std::vector<std::string> arguments_storage;
    std::vector<const char *> arguments;
    std::vector<std::string> environment_storage;
    std::vector<const char *> environment;
    std::vector<std::string> candidates_storage;
    std::vector<const char *> candidates;
    std::vector<std::vector<const char *>> shell_arguments_storage;
    std::vector<const char *const *> shell_arguments;
    ChildPlan plan;
    void *stack = MAP_FAILED;
    // A byte once the child is in its own session, then the end of file once it has run its
    // command or exited: until then, nothing here may go.
    tds::FileDescriptor started;
    tds::FileDescriptor gate;  // the child runs its command once it reads a byte
};

void ChildStartEnd::operator()(ChildStart *start) const { delete start; }

int StartDescriptor(const ChildStart &start) { return start.started.Get(); }

Launcher::Launcher() : null_(open("/dev/null", O_RDWR | O_CLOEXEC))
{
    if (!null_.Valid()) {
        ThrowErrno("cannot open /dev/null");
    }
    // Above standard input, output and error and the descriptor 3 a child may be given.
    int above = STDERR_FILENO + 1;
    for (auto &slot : slots_) {
        slot = tds::FileDescriptor(fcntl(null_.Get(), F_DUPFD_CLOEXEC, above + 1));
        if (!slot.Valid()) {
            ThrowErrno("cannot keep a descriptor for launches");
        }
        above = slot.Get();
    }
}

int Launcher::Place(std::size_t slot, int fd)
{
    if (dup3(fd, slots_[slot].Get(), O_CLOEXEC) < 0) {
        ThrowErrno("cannot hand a descriptor to a child");
    }
    return slots_[slot].Get();
}

void Launcher::ClearSlots()
{
    for (auto &slot : slots_) {
        dup3(null_.Get(), slot.Get(), O_CLOEXEC);
    }
}

LaunchedChild Launcher::Launch(const LaunchRequest &request)
{
    tds::FileDescriptor log(openat(request.log_directory, request.log_name.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!log.Valid()) {
        ThrowErrno("cannot open log " + request.log_name);
    }
    if (fchmod(log.Get(), 0600) != 0) {
        ThrowErrno("cannot restrict log " + request.log_name);
    }
    if (request.uid != getuid() && geteuid() != 0) {
        throw std::system_error(EPERM, std::generic_category(),
                                "cannot run as user " + std::to_string(request.uid) + " unless the agent runs as root");
    }
    LaunchedChild child;
    Pipe output;
    // Cleared before child goes: a failed launch waits there for its log writer to run its
    // program, which it cannot tell while a slot still holds the writer's end of that pipe.
    struct SlotsCleared {
        Launcher &launcher;
        ~SlotsCleared() { launcher.ClearSlots(); }
    } cleared{*this};
    const int first_unused = slots_.back().Get() + 1;
    if (!request.log_writer.empty()) {
        std::vector<std::string> writer_arguments = request.log_writer;
        writer_arguments.push_back(request.log_name);
        ChildStartPointer writer(new ChildStart(std::move(writer_arguments), {}));
        output                    = MakePipe();
        writer->plan.first_unused = first_unused;
        writer->plan.input        = Place(kInputSlot, output.read.Get());
        writer->plan.output       = Place(kOutputSlot, log.Get());
        writer->plan.directory    = Place(kDirectorySlot, request.log_directory);
        Pipe writer_started       = MakePipe();
        writer->plan.started      = Place(kStartedSlot, writer_started.write.Get());
        writer->started           = std::move(writer_started.read);
        writer_started.write.Reset();
        child.writer_pid = writer->Clone(kShareMemory, &child.writer);
        writer->AwaitStarted();
        child.writer_start = std::move(writer);
    }

    std::vector<std::string> environment = InheritedEnvironment();
    environment.insert(environment.end(), request.environment.begin(), request.environment.end());
    child.launch_key = RandomToken();
    environment.push_back(std::string(kLaunchKeyName) + "=" + child.launch_key);
    auto start        = ChildStartPointer(new ChildStart(CommandArguments(request.command), std::move(environment)));
    ChildPlan &plan   = start->plan;
    plan.first_unused = first_unused;
    plan.input        = Place(kInputSlot, null_.Get());
    plan.output       = Place(kOutputSlot, output.write.Valid() ? output.write.Get() : log.Get());
    plan.uid          = request.uid;
    plan.change_user  = request.uid != geteuid();
    if (plan.change_user) {
        plan.gid = PrimaryGroup(request.uid);
    }
    Pipe started   = MakePipe();
    Pipe gate      = MakePipe();
    plan.started   = Place(kStartedSlot, started.write.Get());
    plan.gate      = Place(kGateSlot, gate.read.Get());
    start->started = std::move(started.read);
    start->gate    = std::move(gate.write);
    started.write.Reset();
    gate.read.Reset();
    output.write.Reset();
    child.pid = start->Clone(kShareMemory, &child.pidfd);
    // The child has its own session and process group: the group can be signalled as soon as
    // launch returns.
    start->AwaitStarted();
    // The child waits at its gate: it has not exited and its entry is there to read.
    child.identity = IdentityOf(child.pid).value_or(ProcessIdentity{child.pid, 0});
    child.start    = std::move(start);
    return child;
}

void Release(LaunchedChild &child)
{
    const char go = 1;
    (void)!write(child.start->gate.Get(), &go, 1);
    child.start->gate.Reset();
}

void Cancel(LaunchedChild &child)
{
    // Not reaped yet, the child's group keeps its number.
    kill(-child.pid, SIGKILL);
    siginfo_t info{};
    while (waitid(P_PIDFD, static_cast<id_t>(child.pidfd.Get()), &info, WEXITED) != 0 && errno == EINTR) {
    }
    child.start.reset();
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
    if (!process.pidfd.Valid()) {
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
