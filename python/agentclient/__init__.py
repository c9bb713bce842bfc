"""agentclient: drive process agents (paagentd) from Python.

Connect to an agent, then start, stop, signal and watch its processes and services, edit its
routing table, follow its events and a process's output, and write its configuration file:

    import agentclient

    with agentclient.connect("PASRV", "admin", "secret") as agent:
        web = agent.start(agentclient.Process("web", command="/usr/bin/web"))
        for event in agent.events():
            print(event)

The calls are the C++ library's (agentclient.hpp): they keep its bounds (every reply within the
connection's time-out) and raise its failures as agentclient.Error: Unreachable when no agent
answers, Refused when the agent says no (agent_text says why), NotSupported for an older agent.
"""

from agentclient._agentclient import (
    Connection,
    Event,
    EventIterator,
    EventKind,
    Health,
    Login,
    Member,
    Output,
    OutputIterator,
    Process,
    ProcessHealth,
    ProcessStats,
    ProcessStatus,
    ProcessType,
    Route,
    Service,
    ServiceStart,
    ServiceType,
    connect,
    write_configuration,
)
from agentclient.errors import Error, NotSupported, Refused, Unreachable

__all__ = [
    "Connection", "Error", "Event", "EventIterator", "EventKind", "Health", "Login", "Member",
    "NotSupported", "Output", "OutputIterator", "Process", "ProcessHealth", "ProcessStats",
    "ProcessStatus", "ProcessType", "Refused", "Route", "Service", "ServiceStart", "ServiceType",
    "Unreachable", "connect", "write_configuration",
]
