// Service records: initial values, attribute lists, member ownership, copies independent of
// their source, lookups by process name, and exhaustion.
#include <agentclient/pa.h>

#include "service.h"
#include "support/record_testing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

PaServProcess Member(const char *name, int32_t kind, int32_t integer = 0, const char *text = nullptr)
{
    PaServProcess entry{PaVaProcessCreate(name, 0), kind, {integer}};
    if (kind == PaVALUE_TEXT) {
        entry.value.textValue = PaStrDup(text);
    }
    return entry;
}

PaServProcess *Head(const PaService *service) { return static_cast<PaServProcess *>(PaListGetHead(service->members)); }

// "name=value ..." for each member of a member list.
std::string Describe(const PaList *members)
{
    std::string described;
    for (auto *m = static_cast<const PaServProcess *>(PaListGetHead(members)); m != nullptr;
         m       = static_cast<const PaServProcess *>(PaListGetNext(m))) {
        char *name = nullptr;
        PaProcessGetAttribute(m->process, PaPROCESS_NAME, &name, 0);
        described += std::string(name) + "=" +
                     (m->kind == PaVALUE_INTEGER ? std::to_string(m->value.intValue)
                      : m->kind == PaVALUE_TEXT  ? "'" + std::string(m->value.textValue) + "'"
                                                 : "NONE") +
                     " ";
        PaFree(name);
    }
    return described;
}

// The members of a service, read through a copy of its member list.
std::string Members(const PaService *service)
{
    PaList *members = nullptr;
    EXPECT_EQ(PaServiceGetAttribute(service, PaSERVICE_PROCESS_LIST, &members, 0), PaSUCCESS);
    std::string described = Describe(members);
    PaServiceProcessListDestroy(members);
    return described;
}

constexpr const char *kMembersOfS = "p1=5 p2='x' p3=NONE ";

PaService *ServiceS()
{
    PaService *service = PaVaServiceCreate("S", PaSERVICE_TYPE, PaSERVICE_MASTER, PaSERVICE_START, PaSERVICE_AUTO, 0);
    for (PaServProcess entry :
         {Member("p1", PaVALUE_INTEGER, 5), Member("p2", PaVALUE_TEXT, 0, "x"), Member("p3", PaVALUE_NONE)}) {
        EXPECT_EQ(PaServiceAddProcess(service, &entry, 0), PaSUCCESS);
    }
    return service;
}

using ServiceTest = LeakCheckedTest;

TEST_F(ServiceTest, BothFormsStartWithTheInitialValues)
{
    PaService *standalone = PaVaServiceCreate("S", 0);
    PaList *services      = PaListCreate();
    PaService *element    = PaServiceAllocElement();
    PaListAddToTail(services, element);
    for (const PaService *service : {standalone, element}) {
        char *name        = nullptr;
        int32_t values[3] = {-1, -1, -1};
        EXPECT_EQ(PaServiceGetAttribute(service, PaSERVICE_NAME, &name, PaSERVICE_TYPE, &values[0], PaSERVICE_START,
                                        &values[1], PaSERVICE_PROCESS_COUNT, &values[2], 0),
                  PaSUCCESS);
        EXPECT_STREQ(name, service == standalone ? "S" : "NULL");
        EXPECT_THAT(values, ElementsAre(PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, 0));
        EXPECT_EQ(Members(service), "");
        PaFree(name);
    }
    PaServiceDeleteElement(services, element);
    EXPECT_EQ(PaListNumberOfElements(services), 0);
    EXPECT_EQ(PaServiceListFree(services), PaSUCCESS);
    EXPECT_EQ(PaServiceFree(standalone), PaSUCCESS);
    EXPECT_THAT(log.messages(), IsEmpty());
}

TEST_F(ServiceTest, RefusedAndUnknownPairsStopTheListWithTheirMessages)
{
    PaService *service =
        PaVaServiceCreate("S", PaSERVICE_TYPE, PaSERVICE_MASTER, 6, PaSERVICE_START, PaSERVICE_AUTO, 0);
    int32_t type  = -1;
    int32_t start = -1;
    EXPECT_EQ(PaServiceGetAttribute(service, PaSERVICE_TYPE, &type, PaSERVICE_START, &start, 0), PaSUCCESS);
    EXPECT_EQ(type * 10 + start, PaSERVICE_MASTER * 10 + PaSERVICE_NON_AUTO);
    EXPECT_EQ(PaServiceSetAttribute(service, PaSERVICE_START, PaSERVICE_AUTO, PaSERVICE_PROCESS_COUNT, 0), PaFAILURE);
    EXPECT_EQ(PaServiceGetAttribute(service, PaSERVICE_START, &start, -1, &type, 0), PaUNKNOWN_ATTRIBUTE);
    EXPECT_EQ(start, PaSERVICE_AUTO);
    EXPECT_EQ(PaServiceSetAttribute(service, PaSERVICE_NAME, static_cast<const char *>(nullptr), 0), PaFAILURE);
    EXPECT_EQ(PaServiceSetAttribute(service, PaSERVICE_PROCESS_LIST, static_cast<PaList *>(nullptr), 0), PaFAILURE);
    EXPECT_STREQ(service->name, "S");
    EXPECT_EQ(PaVaServiceCreate("S", PaSERVICE_PROCESS_COUNT, 3, 0), nullptr);
    EXPECT_THAT(log.texts(),
                ElementsAre("Attempt to set unknown process attribute.", "Cannot set Process list number in service.",
                            "Attempt to get unknown process attribute.", "Cannot set Process list number in service."));
    PaServiceFree(service);
}

TEST_F(ServiceTest, CopiesOfMemberListsAndServicesAreIndependent)
{
    int pidfd          = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    PaService *service = ServiceS();
    PaProcessSetAttribute(Head(service)->process, PaPROCESS_HANDLE, pidfd, 0);
    close(pidfd);
    PaProcessHandle held = 0;
    PaProcessGetAttribute(Head(service)->process, PaPROCESS_HANDLE, &held, 0);

    PaList *first  = nullptr;
    PaList *second = nullptr;
    PaServiceGetAttribute(service, PaSERVICE_PROCESS_LIST, &first, PaSERVICE_PROCESS_LIST, &second, 0);
    EXPECT_NE(first, second);
    PaServiceProcessListDestroy(first);
    PaService *other = PaVaServiceCreate("T", PaSERVICE_PROCESS_LIST, second, 0);
    PaServiceProcessListDestroy(second);
    PaService *copy = PaServiceCopy(service);
    EXPECT_EQ(Members(other) + Members(copy), std::string(kMembersOfS) + kMembersOfS);
    PaServiceFree(other);
    PaServiceFree(copy);
    EXPECT_EQ(Members(service), kMembersOfS);
    EXPECT_NE(fcntl(held, F_GETFD), -1);
    PaServiceFree(service);
    EXPECT_EQ(fcntl(held, F_GETFD), -1);
}

TEST_F(ServiceTest, AddTakesOverTheProcessUnlessAskedToCopyAndRefusesDuplicates)
{
    PaService *service  = PaVaServiceCreate("S", 0);
    PaServProcess taken = Member("p1", PaVALUE_TEXT, 0, "x");
    ASSERT_EQ(PaServiceAddProcess(service, &taken, 0), PaSUCCESS);
    EXPECT_EQ(Head(service)->process, taken.process);
    PaServProcess copied = Member("p2", PaVALUE_INTEGER, 7);
    ASSERT_EQ(PaServiceAddProcess(service, &copied, 1), PaSUCCESS);
    EXPECT_NE(static_cast<PaServProcess *>(PaListGetTail(service->members))->process, copied.process);
    PaProcessFree(copied.process);

    PaServProcess duplicate = Member("p1", PaVALUE_TEXT, 0, "y");
    EXPECT_EQ(PaServiceAddProcess(service, &duplicate, 0), PaFOUND);
    EXPECT_THAT(log.texts(PaMSG_DEBUG), ElementsAre("Error in locating process in service."));
    PaProcessFree(duplicate.process);
    PaFree(duplicate.value.textValue);
    PaServProcess without{nullptr, PaVALUE_NONE, {0}};
    EXPECT_EQ(PaServiceAddProcess(service, &without, 0), PaFAILURE);
    EXPECT_EQ(Members(service), "p1='x' p2=7 ");
    PaServiceFree(service);
}

TEST_F(ServiceTest, MembersAreRemovedAndChangedByName)
{
    PaService *service = ServiceS();
    PaProcess *p1      = PaVaProcessCreate("p1", 0);
    EXPECT_EQ(PaServiceRemoveProcess(service, p1), PaSUCCESS);
    EXPECT_EQ(PaServiceRemoveProcess(service, p1), PaNOT_FOUND);
    EXPECT_THAT(log.texts(), ElementsAre("Failed to locate process in service."));
    PaProcessFree(p1);

    PaServProcess entry = Member("q2", PaVALUE_TEXT, 0, "changed");
    EXPECT_EQ(PaServiceChangeProcess(service, "p2", &entry), PaSUCCESS);
    EXPECT_EQ(PaServiceChangeProcess(service, "p2", &entry), PaFAILURE);
    PaProcessFree(entry.process);
    PaFree(entry.value.textValue);
    EXPECT_EQ(Members(service), "q2='changed' p3=NONE ");
    PaServProcess none = Member("q2", PaVALUE_NONE);
    EXPECT_EQ(PaServiceChangeProcess(service, "q2", &none), PaSUCCESS);  // releases the old text
    EXPECT_EQ(Head(service)->value.intValue, 0);
    PaProcessFree(none.process);
    PaProcess *r3 = PaVaProcessCreate("r3", 0);
    EXPECT_EQ(PaServiceChangeProcessEntry(service, "p3", r3), PaSUCCESS);
    EXPECT_EQ(PaServiceChangeProcessEntry(service, "p3", r3), PaFAILURE);
    PaProcessFree(r3);
    EXPECT_EQ(Members(service), "q2=NONE r3=NONE ");
    EXPECT_EQ(log.messages().size(), 1u);
    PaServiceFree(service);
}

TEST_F(ServiceTest, ListSearchReturnsTheFirstServiceAndACopyOfTheMember)
{
    PaList *services = PaListCreate();
    for (int32_t value : {1, 2}) {
        PaService *service  = PaServiceAllocElement();
        PaServProcess entry = Member("p", PaVALUE_INTEGER, value);
        PaServiceAddProcess(service, &entry, 0);
        PaListAddToTail(services, service);
    }
    PaServProcess *found = nullptr;
    PaService *service   = PaServiceListFindProcess(services, "p", &found);
    EXPECT_EQ(service, PaListGetHead(services));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->value.intValue, 1);
    EXPECT_NE(found->process, Head(service)->process);
    PaServiceServProcessFree(found);
    EXPECT_EQ(PaServiceListFindProcess(services, "p", nullptr), service);
    found = nullptr;
    EXPECT_EQ(PaServiceListFindProcess(services, "P", &found), nullptr);
    EXPECT_EQ(found, nullptr);
    PaServiceListFree(services);
}

TEST(ServiceExhaustion, CopiesSearchesAndMemberChangesFailCleanly)
{
    PaService *service = ServiceS();
    PaList *services   = PaListCreate();
    PaListAddToTail(services, PaServiceAllocElement());
    PaServiceSetAttribute(static_cast<PaService *>(PaListGetHead(services)), PaSERVICE_PROCESS_LIST, service->members,
                          0);
    ExpectCleanFailures([service] {
        PaService *copy  = PaServiceCopy(service);
        PaService *other = copy != nullptr ? PaVaServiceCreate("T", PaSERVICE_PROCESS_LIST, copy->members, 0) : nullptr;
        PaServiceFree(copy);
        return other != nullptr && PaServiceFree(other) == PaSUCCESS;
    });
    ExpectCleanFailures([services] {
        PaServProcess *found = nullptr;
        bool made            = PaServiceListFindProcess(services, "p2", &found) != nullptr;
        PaServiceServProcessFree(found);
        return made;
    });
    ExpectCleanFailures([] {
        PaService *target   = PaVaServiceCreate("T", 0);
        PaServProcess entry = Member("p", PaVALUE_TEXT, 0, "x");
        bool added          = target != nullptr && entry.process != nullptr && entry.value.textValue != nullptr &&
                     PaServiceAddProcess(target, &entry, 1) == PaSUCCESS;
        if (!added && entry.value.textValue != nullptr) {
            PaFree(entry.value.textValue);  // not taken over
        }
        bool changed = added && PaServiceChangeProcess(target, "p", &entry) == PaSUCCESS;
        PaServiceFree(target);
        PaProcessFree(entry.process);
        return changed;
    });
    PaServiceListFree(services);
    PaServiceFree(service);
}

}  // namespace
