// The configuration file writers: a whole file byte for byte, escaping, and exhaustion.
#include <agentclient/pa.h>

#include "service.h"
#include "support/record_testing.h"
#include "write_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

using testing::IsEmpty;

namespace {

PaService *AddService(PaList *services, const char *name, int32_t type, int32_t start)
{
    PaService *service = PaServiceAllocElement();
    PaServiceSetAttribute(service, PaSERVICE_NAME, name, PaSERVICE_TYPE, type, PaSERVICE_START, start, 0);
    PaListAddToTail(services, service);
    return service;
}

void AddMember(PaService *service, PaProcess *process, int32_t kind, int32_t integer = 0, const char *text = nullptr)
{
    PaServProcess entry{process, kind, {integer}};
    if (kind == PaVALUE_TEXT) {
        entry.value.textValue = PaStrDup(text);
    }
    EXPECT_EQ(PaServiceAddProcess(service, &entry, 0), PaSUCCESS);
}

// Service S (master, automatic) with p1 (integer 5), p2 (text x) and p3 (none); service T with
// p1 again; two routing entries.
struct Records {
    PaList *services = PaListCreate();
    PaList *hosts    = PaListCreate();
    Records()
    {
        PaService *s = AddService(services, "S", PaSERVICE_MASTER, PaSERVICE_AUTO);
        AddMember(s,
                  PaVaProcessCreate("p1", PaPROCESS_HOSTNAME, "h1", PaPROCESS_COMMAND, "run p1", PaPROCESS_EUID, 100,
                                    PaPROCESS_MANAGED, 1, PaPROCESS_RESTART_MSG, "r1", PaPROCESS_ALERT_MSG, "a1",
                                    PaPROCESS_RETRY_COUNT, 3, PaPROCESS_TYPE, PaDAEMON_PROCESS, PaPROCESS_PID, 77, 0),
                  PaVALUE_INTEGER, 5);
        AddMember(s,
                  PaVaProcessCreate("p2", PaPROCESS_HOSTNAME, "h2", PaPROCESS_COMMAND, "run p2", PaPROCESS_TYPE,
                                    PaPA_AWARE, 0),
                  PaVALUE_TEXT, 0, "x");
        AddMember(s, PaVaProcessCreate("p3", 0), PaVALUE_NONE);
        PaService *t = AddService(services, "T", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO);
        AddMember(t, PaVaProcessCreate("p1", PaPROCESS_HOSTNAME, "h1", PaPROCESS_COMMAND, "run p1", 0), PaVALUE_NONE);
        PaListAddToTail(hosts, PaHostAllocElement("hA", "sA"));
        PaListAddToTail(hosts, PaHostAllocElement("hB", "sB"));
    }
    ~Records()
    {
        PaServiceListFree(services);
        PaHostListDestroy(hosts);
    }
    Records(const Records &)            = delete;
    Records &operator=(const Records &) = delete;

    PaService *First() const { return static_cast<PaService *>(PaListGetHead(services)); }
};

// What the writers put in a file, or "<failed>" when one of them failed.
std::string Written(const Records &records)
{
    char *buffer = nullptr;
    size_t size  = 0;
    FILE *stream = open_memstream(&buffer, &size);
    bool written = PaWriteFileHeaders(stream) == PaSUCCESS &&
                   PaWriteKnownServiceProcesses(records.services, stream) == PaSUCCESS &&
                   PaWriteKnownServices(records.services, stream) == PaSUCCESS &&
                   PaWriteKnownHosts(records.hosts, stream) == PaSUCCESS;
    std::fclose(stream);
    std::string text = written ? std::string(buffer, size) : "<failed>";
    std::free(buffer);
    return text;
}

const std::string kExpectedFile =
    "#ZEB_PA3\n#\n# Process Agent Daemon Configuration File 1.1\n#\n"
    "\n#\n# List of processes\n#\n"
    "zeb_process 'p1'\n{\n\tCommand 'run p1' run as 100\n\tHost\t\t=\t'h1'\n\tManaged\t\t=\tTrue\n"
    "\tRestartMsg\t=\t'r1'\n\tAlertMsg\t=\t'a1'\n\tRetryCount\t=\t3\n\tProcessType\t=\tPaDAEMON_PROCESS\n}\n\n"
    "zeb_process 'p2'\n{\n\tCommand 'run p2' run as 0\n\tHost\t\t=\t'h2'\n\tManaged\t\t=\tFalse\n"
    "\tRestartMsg\t=\t' '\n\tAlertMsg\t=\t' '\n\tRetryCount\t=\t0\n\tProcessType\t=\tPaPA_AWARE\n}\n\n"
    "zeb_process 'p3'\n{\n\tCommand ' ' run as 0\n\tHost\t\t=\t' '\n\tManaged\t\t=\tFalse\n"
    "\tRestartMsg\t=\t' '\n\tAlertMsg\t=\t' '\n\tRetryCount\t=\t0\n\tProcessType\t=\tPaNOT_PA_AWARE\n}\n\n"
    "zeb_process 'p1'\n{\n\tCommand 'run p1' run as 0\n\tHost\t\t=\t'h1'\n\tManaged\t\t=\tFalse\n"
    "\tRestartMsg\t=\t' '\n\tAlertMsg\t=\t' '\n\tRetryCount\t=\t0\n\tProcessType\t=\tPaNOT_PA_AWARE\n}\n\n"
    "\n#\n# List of Services\n#\n"
    "zeb_service 'S'\n{\n\tServiceType\t=\tMaster\n\tServiceStart\t=\tAuto\n"
    "\tprocess 'p1' 5\n\tprocess 'p2' 'x'\n\tprocess 'p3' NONE\n}\n\n"
    "zeb_service 'T'\n{\n\tServiceType\t=\tNon-Master\n\tServiceStart\t=\tNon-Auto\n\tprocess 'p1' NONE\n}\n\n"
    "\n#\n# ROUTING TABLE\n#\n"
    "zeb_routing\n{\n\thost 'hA' 'sA'\n\thost 'hB' 'sB'\n}\n\n";

using WriteConfigTest = LeakCheckedTest;

TEST_F(WriteConfigTest, AWholeFileIsWrittenByteForByte)
{
    Records records;
    EXPECT_EQ(Written(records), kExpectedFile);
    EXPECT_THAT(log_.Texts(), IsEmpty());
}

TEST_F(WriteConfigTest, EscapingIsByteWiseInEveryLocale)
{
    for (const char *locale : {"C", "C.UTF-8"}) {  // the accented text is valid UTF-8, the \xff is not
        ASSERT_NE(std::setlocale(LC_CTYPE, locale), nullptr);
        char *escaped = PaEscapeQuotes("caf\xc3\xa9's '\\\xff\\");
        EXPECT_STREQ(escaped, "caf\xc3\xa9\\'s \\'\\\\\xff\\\\") << locale;
        PaFree(escaped);
    }
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(PaEscapeQuotes(nullptr), nullptr);
}

TEST(WriteConfigExhaustion, WritersFailCleanlyWhenCopiesCannotBeMade)
{
    Records records;
    EXPECT_GT(ExpectCleanFailures([&records] { return Written(records) == kExpectedFile; }), 20u);
}

}  // namespace
