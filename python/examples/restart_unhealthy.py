#!/usr/bin/python3
"""Restarts every process the agent reports unhealthy, and starts again those that exited or failed.

Usage: restart_unhealthy.py SERVER USER, with the password in PA_PASSWORD. An agent older than
health checks answers NotSupported: then the processes' states alone decide.
"""
import os
import sys

import agentclient

server, user = sys.argv[1:3]
with agentclient.connect(server, user, os.environ["PA_PASSWORD"]) as agent:
    try:
        unhealthy = {(h.name, h.host) for h in agent.health() if h.health == agentclient.Health.UNHEALTHY}
    except agentclient.NotSupported:
        unhealthy = set()
    for process in agent.processes():
        state = agent.status(process).state
        if (process.name, process.host) in unhealthy:
            agent.restart(process)
            print(f"restarted {process.name} on {process.host}: it was unhealthy")
        elif state in ("exited", "failed"):
            agent.start(process)
            print(f"started {process.name} on {process.host}: it had {state}")
