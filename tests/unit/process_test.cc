// Process records: initial values, attribute lists, texts and handles owned by each record,
// comparison, and exhaustion.
#include <agentclient/pa.h>

#include "process.h"
#include "support/record_testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr const char *kNone    = nullptr;
constexpr const char *kInitial = "<none>|<none>|0|0|0|<none>|<none>|0|2|";

std::string Text(const PaProcess *process, int32_t id)
{
    char *text = nullptr;
    EXPECT_EQ(PaProcessGetAttribute(process, id, &text, 0), PaSUCCESS);
    std::string value = text != nullptr ? text : "<none>";
    if (text != nullptr) {
        PaFree(text);
    }
    return value;
}

// An integer attribute, or the handle.
int32_t Integer(const PaProcess *process, int32_t id)
{
    int32_t value = -1;
    EXPECT_EQ(PaProcessGetAttribute(process, id, &value, 0), PaSUCCESS);
    return value;
}

// Every attribute from the host name to the process type.
std::string Rest(const PaProcess *process)
{
    std::string rest;
    for (int32_t id = PaPROCESS_HOSTNAME; id <= PaPROCESS_TYPE; ++id) {
        bool text = id == PaPROCESS_HOSTNAME || id == PaPROCESS_COMMAND || id == PaPROCESS_RESTART_MSG ||
                    id == PaPROCESS_ALERT_MSG;
        rest += (text ? Text(process, id) : std::to_string(Integer(process, id))) + "|";
    }
    return rest;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::string PidLine(int fd)
{
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
    std::string line;
    while (std::getline(info, line) && line.rfind("Pid:", 0) != 0) {
    }
    return line;
}

// Creates through the va_list form twice on the same list, which must not move.
PaProcess *CreateTwice(const char *name, ...)
{
    va_list args;
    va_start(args, name);
    PaProcess *first  = PaVaProcessCreateAP(name, args);
    PaProcess *second = PaVaProcessCreateAP(name, args);
    va_end(args);
    EXPECT_EQ(Rest(first), Rest(second));
    PaProcessFree(second);
    return first;
}

using ProcessTest = LeakCheckedTest;

TEST_F(ProcessTest, BothFormsStartWithTheInitialValues)
{
    PaProcess *standalone = PaVaProcessCreate("p1", 0);
    PaList *list          = PaListCreate();
    PaProcess *element    = PaProcessAllocElement();
    PaListAddToTail(list, element);
    PaListAddToTail(list, PaProcessAllocElement());
    EXPECT_EQ(Text(standalone, PaPROCESS_NAME) + Text(element, PaPROCESS_NAME), "p1NULL");
    EXPECT_EQ(Rest(standalone), kInitial);
    EXPECT_EQ(Rest(element), kInitial);
    EXPECT_EQ(Integer(element, PaPROCESS_HANDLE), 0);
    PaProcessDeleteElement(list, element);
    EXPECT_EQ(PaListNumberOfElements(list), 1);
    EXPECT_EQ(PaProcessListFree(list), PaSUCCESS);
    EXPECT_EQ(PaProcessFree(standalone), PaSUCCESS);
    EXPECT_THAT(log.messages(), IsEmpty());
}

TEST_F(ProcessTest, ListsApplyInOrderAndStopAtTheFirstUnknownIdentifier)
{
    PaProcess *process =
        CreateTwice("p1", PaPROCESS_HOSTNAME, "h", PaPROCESS_COMMAND, "c", PaPROCESS_EUID, 7, PaPROCESS_MANAGED, 1,
                    PaPROCESS_PID, 9, PaPROCESS_RESTART_MSG, "r", PaPROCESS_ALERT_MSG, "a", PaPROCESS_RETRY_COUNT, 3,
                    PaPROCESS_TYPE, PaPA_AWARE, PaPROCESS_NAME, "p2", 0);
    EXPECT_EQ(Text(process, PaPROCESS_NAME), "p2");
    EXPECT_EQ(Rest(process), "h|c|7|1|9|r|a|3|1|");
    PaProcessFree(process);

    process = PaVaProcessCreate("p1", PaPROCESS_HOSTNAME, "h", 12, PaPROCESS_COMMAND, "c", 0);
    EXPECT_EQ(Rest(process), "h|<none>|0|0|0|<none>|<none>|0|2|");
    EXPECT_EQ(PaProcessSetAttribute(process, PaPROCESS_EUID, 8, -1, PaPROCESS_EUID, 9, 0), PaUNKNOWN_ATTRIBUTE);
    EXPECT_EQ(Integer(process, PaPROCESS_EUID), 8);
    EXPECT_THAT(log.texts(), ElementsAre("Attempt to set unknown attribute.", "Attempt to set unknown attribute."));
    log.clear();
    char *name   = nullptr;
    int32_t euid = 0;
    EXPECT_EQ(PaProcessGetAttribute(process, PaPROCESS_EUID, &euid, 12, PaPROCESS_NAME, &name, 0), PaUNKNOWN_ATTRIBUTE);
    EXPECT_EQ(euid, 8);
    EXPECT_EQ(name, nullptr);
    EXPECT_THAT(log.texts(PaMSG_ERROR), ElementsAre("Attempt to get unknown process attribute."));
    PaProcessFree(process);
}

TEST_F(ProcessTest, NullMakesAnOptionalTextNoneAndIsRefusedAsName)
{
    PaProcess *process = PaVaProcessCreate("p1", PaPROCESS_HOSTNAME, "h", PaPROCESS_COMMAND, "c", 0);
    EXPECT_EQ(PaProcessSetAttribute(process, PaPROCESS_HOSTNAME, kNone, 0), PaSUCCESS);
    EXPECT_EQ(PaProcessSetAttribute(process, PaPROCESS_NAME, kNone, PaPROCESS_COMMAND, "lost", 0), PaFAILURE);
    EXPECT_EQ(Text(process, PaPROCESS_NAME) + Text(process, PaPROCESS_HOSTNAME) + Text(process, PaPROCESS_COMMAND),
              "p1<none>c");
    EXPECT_EQ(PaProcessGetAttribute(process, PaPROCESS_NAME, static_cast<char **>(nullptr), 0), PaFAILURE);
    EXPECT_EQ(PaVaProcessCreate(kNone, 0), nullptr);
    EXPECT_EQ(PaVaProcessCreate("p1", PaPROCESS_NAME, kNone, 0), nullptr);
    EXPECT_EQ(PaProcessFree(nullptr), PaFAILURE);
    EXPECT_THAT(log.messages(), IsEmpty());
    PaProcessFree(process);
}

TEST_F(ProcessTest, EachRecordOwnsItsOwnDuplicateOfTheHandle)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    ASSERT_GT(pidfd, 0);
    PaProcess *source = PaVaProcessCreate("p1", PaPROCESS_COMMAND, "c1", PaPROCESS_HANDLE, pidfd, 0);
    close(pidfd);
    int held = Integer(source, PaPROCESS_HANDLE);
    EXPECT_GE(held, 3);
    EXPECT_EQ(fcntl(held, F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(PidLine(held), "Pid:\t" + std::to_string(getpid()));

    PaProcess *copy = PaProcessCopy(source);
    int copied      = Integer(copy, PaPROCESS_HANDLE);
    EXPECT_NE(copied, held);
    EXPECT_EQ(PidLine(copied), PidLine(held));
    PaProcessSetAttribute(source, PaPROCESS_COMMAND, "c2", 0);
    EXPECT_EQ(Text(copy, PaPROCESS_COMMAND) + Text(copy, PaPROCESS_ALERT_MSG), "c1<none>");
    PaProcessFree(copy);
    EXPECT_FALSE(IsOpen(copied));
    EXPECT_TRUE(IsOpen(held));

    PaProcessSetAttribute(source, PaPROCESS_HANDLE, held, PaPROCESS_EUID, 4, 0);
    PaProcessClearProcess(source);
    EXPECT_EQ(Text(source, PaPROCESS_NAME), "NoName");
    EXPECT_EQ(Rest(source), kInitial);
    EXPECT_EQ(Integer(source, PaPROCESS_HANDLE), held);
    EXPECT_TRUE(IsOpen(held));
    EXPECT_THAT(log.messages(), IsEmpty());

    EXPECT_EQ(PaProcessSetAttribute(source, PaPROCESS_HANDLE, -1, 0), PaSUCCESS);
    EXPECT_EQ(Integer(source, PaPROCESS_HANDLE), 0);
    EXPECT_FALSE(IsOpen(held));
    EXPECT_THAT(log.texts(PaMSG_ERROR), ElementsAre("DuplicateHandle() failed. Bad file descriptor"));
    PaProcessFree(source);
}

TEST_F(ProcessTest, CompareIgnoresPidHandleAndOneSidedMessages)
{
    int pidfd    = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    PaProcess *a = PaVaProcessCreate("p", PaPROCESS_HOSTNAME, "h", PaPROCESS_COMMAND, "c", PaPROCESS_ALERT_MSG, "x", 0);
    PaProcess *b = PaProcessCopy(a);
    PaProcessSetAttribute(b, PaPROCESS_PID, 42, PaPROCESS_HANDLE, pidfd, PaPROCESS_ALERT_MSG, kNone, 0);
    close(pidfd);
    EXPECT_EQ(PaProcessCompare(a, b), 1);
    PaProcessSetAttribute(b, PaPROCESS_ALERT_MSG, "y", 0);
    EXPECT_EQ(PaProcessCompare(a, b), 0);
    PaProcessSetAttribute(b, PaPROCESS_ALERT_MSG, "x", PaPROCESS_HOSTNAME, kNone, 0);
    EXPECT_EQ(PaProcessCompare(a, b), 0) << "absent against present";
    PaProcessSetAttribute(a, PaPROCESS_HOSTNAME, kNone, 0);
    EXPECT_EQ(PaProcessCompare(a, b), 1) << "both absent";
    PaProcessSetAttribute(b, PaPROCESS_RETRY_COUNT, 1, 0);
    EXPECT_EQ(PaProcessCompare(a, b), 0);
    PaProcessFree(a);
    PaProcessFree(b);
}

TEST(ProcessExhaustion, RecordsAreMadeWholeOrNotAtAllAndSettersKeepTheOldText)
{
    PaProcess *source = PaVaProcessCreate("p", PaPROCESS_HOSTNAME, "h", PaPROCESS_ALERT_MSG, "a", 0);
    EXPECT_GT(ExpectCleanFailures([source] {
                  PaProcess *copy = PaProcessCopy(source);
                  char *host      = nullptr;
                  bool read       = PaProcessGetAttribute(copy, PaPROCESS_HOSTNAME, &host, 0) == PaSUCCESS;
                  if (read) {
                      PaFree(host);
                  }
                  PaProcessFree(copy);
                  return read;
              }),
              3u);
    ExpectCleanFailures([] {
        PaProcess *process = PaVaProcessCreate("p", PaPROCESS_HOSTNAME, "h1", 0);
        bool set = process != nullptr && PaProcessSetAttribute(process, PaPROCESS_HOSTNAME, "h2", 0) == PaSUCCESS;
        EXPECT_TRUE(process == nullptr || std::string(process->hostName) == (set ? "h2" : "h1"));
        PaProcessFree(process);
        return set;
    });
    ExpectCleanFailures([] {
        PaList *list       = PaListCreate();
        PaProcess *element = list != nullptr ? PaProcessAllocElement() : nullptr;
        PaListAddToTail(list, element);
        PaProcessListFree(list);
        return element != nullptr;
    });
    PaProcessFree(source);
}

}  // namespace
