// Host routing entries: copies in and out, both storage forms, and exhaustion.
#include <agentclient/pa.h>

#include "host.h"
#include "support/record_testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

std::string Names(const PaHost *host)
{
    char *hostName    = PaHostGetHostName(host);
    char *serverName  = PaHostGetServerName(host);
    std::string names = hostName != nullptr ? std::string(hostName) + "/" + serverName : "<none>";
    if (hostName != nullptr) {
        PaFree(hostName);
        PaFree(serverName);
    }
    return names;
}

using HostTest = LeakCheckedTest;

TEST_F(HostTest, EntriesHoldTheirOwnCopiesInBothForms)
{
    std::string name = "h1";
    PaHost *host     = PaHostCreate(name.c_str(), "s1");
    name             = "changed";
    EXPECT_EQ(Names(host), "h1/s1");
    PaHostSetHostName(host, "h2");
    PaHostSetServerName(host, nullptr);
    EXPECT_EQ(Names(host), "h2/");
    PaHostFree(host);
    EXPECT_EQ(Names(nullptr), "<none>");

    PaList *hosts = PaListCreate();
    PaHost *first = PaHostAllocElement(nullptr, "s1");
    PaListAddToTail(hosts, first);
    PaListAddToTail(hosts, PaHostAllocElement("h2", "s2"));
    EXPECT_EQ(Names(first) + "," + Names(static_cast<PaHost *>(PaListGetNext(first))), "/s1,h2/s2");
    PaHostDeleteElement(hosts, first);
    EXPECT_EQ(PaListNumberOfElements(hosts), 1);
    PaHostListDestroy(hosts);
    EXPECT_TRUE(log.messages().empty());
}

TEST(HostExhaustion, EntriesAreMadeWholeOrNotAtAllAndSettersKeepTheOldText)
{
    ExpectCleanFailures([] {
        PaList *hosts   = PaListCreate();
        PaHost *element = hosts != nullptr ? PaHostAllocElement("h", "s") : nullptr;
        PaListAddToTail(hosts, element);
        PaHostListDestroy(hosts);
        return element != nullptr;
    });
    ExpectCleanFailures([] {
        PaHost *host = PaHostCreate("h1", "s");
        bool set     = host != nullptr && (PaHostSetHostName(host, "h2"), std::string(host->hostName) == "h2");
        EXPECT_TRUE(host == nullptr || set || std::string(host->hostName) == "h1");
        PaHostFree(host);
        return set;
    });
}

}  // namespace
