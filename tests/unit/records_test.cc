// Process, service and host records: attribute lists, copies independent of their source with
// every attribute, the handles and members each record owns, and exhaustion.
#include <agentclient/pa.h>

#include "host.h"
#include "process.h"
#include "service.h"
#include "support/record_testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Every attribute from the name to the process type.
std::string All(const PaProcess *process)
{
    std::string all;
    for (int32_t id = PaPROCESS_NAME; id <= PaPROCESS_TYPE; ++id) {
        int32_t value = -1;
        bool text     = id == PaPROCESS_NAME || id == PaPROCESS_HOSTNAME || id == PaPROCESS_COMMAND ||
                    id == PaPROCESS_RESTART_MSG || id == PaPROCESS_ALERT_MSG;
        all +=
            (text ? Text(process, id) : (PaProcessGetAttribute(process, id, &value, 0), std::to_string(value))) + "|";
    }
    return all;
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

using RecordsTest = LeakCheckedTest;

TEST_F(RecordsTest, ProcessListsApplyInOrderAndStopAtTheFirstUnknownIdentifierOrMissingName)
{
    PaProcess *process =
        PaVaProcessCreate("p1", PaPROCESS_HOSTNAME, "h", PaPROCESS_COMMAND, "c", PaPROCESS_EUID, 7, PaPROCESS_MANAGED,
                          1, PaPROCESS_PID, 9, PaPROCESS_RESTART_MSG, "r", PaPROCESS_ALERT_MSG, "a",
                          PaPROCESS_RETRY_COUNT, 3, PaPROCESS_TYPE, PaPA_AWARE, PaPROCESS_NAME, "p2", 0);
    EXPECT_EQ(All(process), "p2|h|c|7|1|9|r|a|3|1|");
    PaProcess *copy = PaProcessCopy(process);
    EXPECT_EQ(All(copy), All(process));
    PaProcessFree(copy);
    EXPECT_EQ(PaProcessSetAttribute(process, PaPROCESS_EUID, 8, -1, PaPROCESS_EUID, 9, 0), PaUNKNOWN_ATTRIBUTE);
    EXPECT_EQ(PaProcessSetAttribute(process, PaPROCESS_NAME, nullptr, PaPROCESS_COMMAND, "lost", 0), PaFAILURE);
    EXPECT_EQ(All(process), "p2|h|c|8|1|9|r|a|3|1|");
    EXPECT_EQ(PaVaProcessCreate(nullptr, 0), nullptr);
    PaProcessFree(process);
}

TEST_F(RecordsTest, EachProcessRecordOwnsItsOwnDuplicateOfTheHandle)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    ASSERT_GT(pidfd, 0);
    PaProcess *source = PaVaProcessCreate("p1", PaPROCESS_HANDLE, pidfd, 0);
    close(pidfd);
    int32_t held = 0, copied = 0;
    PaProcessGetAttribute(source, PaPROCESS_HANDLE, &held, 0);
    PaProcess *copy = PaProcessCopy(source);
    PaProcessGetAttribute(copy, PaPROCESS_HANDLE, &copied, 0);
    EXPECT_NE(copied, held);
    PaProcessFree(copy);
    EXPECT_FALSE(IsOpen(copied));
    EXPECT_TRUE(IsOpen(held));
    PaProcessFree(source);
    EXPECT_FALSE(IsOpen(held));
}

PaServProcess Member(const char *name, int32_t kind, int32_t integer = 0, const char *text = nullptr)
{
    PaServProcess entry{PaVaProcessCreate(name, 0), kind, {integer}};
    if (kind == PaVALUE_TEXT) {
        entry.value.textValue = PaStrDup(text);
    }
    return entry;
}

PaService *ServiceS()
{
    PaService *service = PaVaServiceCreate("S", PaSERVICE_TYPE, PaSERVICE_MASTER, PaSERVICE_START, PaSERVICE_AUTO, 0);
    for (PaServProcess entry :
         {Member("p1", PaVALUE_INTEGER, 5), Member("p2", PaVALUE_TEXT, 0, "x"), Member("p3", PaVALUE_NONE)}) {
        EXPECT_EQ(PaServiceAddProcess(service, &entry, 0), PaSUCCESS);
    }
    return service;
}

TEST_F(RecordsTest, ServiceCopiesAreIndependentAndFreeingAServiceClosesItsMembersHandles)
{
    PaService *service = ServiceS();
    int pidfd          = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    auto *first        = static_cast<PaServProcess *>(PaListGetHead(service->members));
    PaProcessSetAttribute(first->process, PaPROCESS_HANDLE, pidfd, 0);
    close(pidfd);
    int32_t held = 0;
    PaProcessGetAttribute(first->process, PaPROCESS_HANDLE, &held, 0);
    const std::string described =
        "p1=5 p2=x p3=NONE " + std::to_string(PaSERVICE_MASTER) + std::to_string(PaSERVICE_AUTO);
    PaService *copy = PaServiceCopy(service);
    EXPECT_EQ(Describe(copy), described);
    PaServProcess duplicate = Member("p1", PaVALUE_TEXT, 0, "y");
    EXPECT_EQ(PaServiceAddProcess(copy, &duplicate, 0), PaFOUND);
    PaProcessFree(duplicate.process);
    PaFree(duplicate.value.textValue);
    PaProcess *p1 = PaVaProcessCreate("p1", 0);
    EXPECT_EQ(PaServiceRemoveProcess(copy, p1), PaSUCCESS);
    EXPECT_EQ(PaServiceRemoveProcess(copy, p1), PaNOT_FOUND);
    PaProcessFree(p1);
    EXPECT_EQ(Describe(service), described);
    PaServiceFree(copy);
    EXPECT_TRUE(IsOpen(held));
    PaServiceFree(service);
    EXPECT_FALSE(IsOpen(held));
}

TEST(RecordsExhaustion, RecordsAreMadeWholeOrNotAtAll)
{
    PaService *service = ServiceS();
    ExpectCleanFailures([service] {
        PaService *copy = PaServiceCopy(service);
        return copy != nullptr && PaServiceFree(copy) == PaSUCCESS;
    });
    ExpectCleanFailures([] {
        PaProcess *process = PaVaProcessCreate("p", PaPROCESS_HOSTNAME, "h1", 0);
        bool set = process != nullptr && PaProcessSetAttribute(process, PaPROCESS_HOSTNAME, "h2", 0) == PaSUCCESS;
        EXPECT_TRUE(process == nullptr || std::string(process->host_name) == (set ? "h2" : "h1"));
        PaProcessFree(process);
        return set;
    });
    PaServiceFree(service);
}

}  // namespace
