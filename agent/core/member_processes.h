// What the catalog of services needs of the processes their members name, without owning them.
#ifndef PAAGENT_CORE_MEMBER_PROCESSES_H
#define PAAGENT_CORE_MEMBER_PROCESSES_H

#include <string>
#include <vector>

#include "core/records.h"

namespace paagent {

// The processes of this agent, as the supervisor keeps them. Each call throws AgentError with
// the refusal.
class MemberProcesses {
public:
    virtual ~MemberProcesses() = default;

    // Refuses a definition that cannot be made the process's now.
    virtual void CheckDefinable(const std::vector<Process> &definitions) const = 0;
    // Defines the processes, replacing the definitions of those that do not run.
    virtual void Define(const std::vector<Process> &definitions) = 0;
    // Forgets those of the processes that do not run.
    virtual void Forget(const std::vector<std::string> &names) = 0;
    // How many of the named have a process running.
    virtual int Running(const std::vector<std::string> &names) const = 0;
    // Whether one of the named runs or is about to.
    virtual bool AnyActive(const std::vector<std::string> &names) const = 0;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_MEMBER_PROCESSES_H
