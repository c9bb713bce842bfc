// What the agent is asked to manage are the client library's records: the values a client sends
// are the agent's definitions as they are. Its events are agentclient::Event: paagent::Event is
// what moves a process through its life cycle.
#ifndef PAAGENT_CORE_RECORDS_H
#define PAAGENT_CORE_RECORDS_H

#include <agentclient/records.hpp>

namespace paagent {

using agentclient::EventBatch;
using agentclient::EventKind;
using agentclient::Health;
using agentclient::Member;
using agentclient::MemberValue;
using agentclient::Process;
using agentclient::ProcessType;
using agentclient::Route;
using agentclient::Service;
using agentclient::ServiceStart;
using agentclient::ServiceType;

}  // namespace paagent

#endif  // PAAGENT_CORE_RECORDS_H
