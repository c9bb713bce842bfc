// Process definitions on the agent, made as services of sleeping members: defined without
// running anything, and started as whole services when a benchmark wants them running.
#include "benchmarks.h"

#include <protocol/states.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace bench {

namespace {

// Outlasts any run: the current agent takes well over an hour to start 10,000 members, and a
// member that ended by itself would leave a turn with fewer running than it says.
constexpr const char *kMemberCommand = "sleep 86400";

// A service of count members named after the service.
PaService *MakeService(const std::string &name, int count)
{
    PaService *service = PaVaServiceCreate(name.c_str(), 0);
    if (service == nullptr) {
        return nullptr;
    }
    auto euid = static_cast<int32_t>(getuid());
    for (int k = 0; k < count; ++k) {
        std::string member = name + "-process-" + std::to_string(k);
        PaServProcess entry{};
        entry.kind           = PaVALUE_INTEGER;
        entry.value.intValue = k;
        entry.process        = PaVaProcessCreate(member.c_str(), PaPROCESS_HOSTNAME, "localhost", PaPROCESS_COMMAND,
                                                 kMemberCommand, PaPROCESS_EUID, euid, 0);
        if (entry.process == nullptr || PaServiceAddProcess(service, &entry, 0) != PaSUCCESS) {
            if (entry.process != nullptr) {
                PaProcessFree(entry.process);
            }
            PaServiceFree(service);
            return nullptr;
        }
    }
    return service;
}

}  // namespace

DefinedProcesses::DefinedProcesses(PaConnection *handle, const std::string &prefix, int count, int members_per_service)
    : handle_(handle), prefix_(prefix)
{
    auto started = std::chrono::steady_clock::now();
    while (count_ < count) {
        int members        = std::min(members_per_service, count - count_);
        PaService *service = MakeService(ServiceName(services_.size()), members);
        if (service == nullptr || PaServiceAdd(handle_, service) != PaSUCCESS) {
            std::string reason = LastAgentMessage(handle_);
            PaServiceFree(service);
            RemoveAll();
            throw std::runtime_error("cannot define a service of " + std::to_string(members) +
                                     " members on the agent: " + reason);
        }
        services_.push_back(service);
        count_ += members;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    std::printf("Defined %d processes on the agent as %zu services in %.2f s.\n", count_, services_.size(),
                took.count());
}

DefinedProcesses::~DefinedProcesses() { RemoveAll(); }

std::string DefinedProcesses::ServiceName(size_t index) const { return prefix_ + "-" + std::to_string(index); }

void DefinedProcesses::StartAll()
{
    started_ = true;
    for (size_t s = 0; s < services_.size(); ++s) {
        if (PaServiceStart(handle_, services_[s]) != PaSUCCESS) {
            throw std::runtime_error("the agent did not start service " + ServiceName(s) + ": " +
                                     LastAgentMessage(handle_));
        }
    }
}

void DefinedProcesses::StopAll()
{
    for (size_t s = services_.size(); s-- > 0;) {
        if (PaServiceStop(handle_, services_[s]) != PaSUCCESS) {
            throw std::runtime_error("the agent did not stop service " + ServiceName(s) + ": " +
                                     LastAgentMessage(handle_));
        }
    }
    started_ = false;
}

bool DefinedProcesses::AllRunning() const
{
    return std::all_of(services_.begin(), services_.end(), [this](const PaService *service) {
        return PaServiceStatus(handle_, service) == static_cast<int32_t>(pa::protocol::ServiceState::kRunning);
    });
}

void DefinedProcesses::RemoveAll()
{
    // A running service cannot be removed: stopped first, also after a failed start or stop.
    for (size_t s = services_.size(); started_ && s-- > 0;) {
        PaServiceStop(handle_, services_[s]);
    }
    for (size_t s = 0; s < services_.size(); ++s) {
        if (PaServiceRemove(handle_, services_[s]) != PaSUCCESS) {
            std::fprintf(stderr, "agentclient_bench: cannot remove service %s: %s\n", ServiceName(s).c_str(),
                         LastAgentMessage(handle_).c_str());
        }
        PaServiceFree(services_[s]);
    }
    services_.clear();
    started_ = false;
}

}  // namespace bench
