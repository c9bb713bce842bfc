#!/usr/bin/python3
"""Prints every event of every agent of the routing table until Ctrl-C.

Usage: watch.py SERVER USER, with the password in PA_PASSWORD. SERVER's routing table names the
other agents; each is followed over a connection of its own, on a thread of its own.
"""
import os
import sys
import threading
from datetime import datetime, timezone

import agentclient


def show(server, events):
    for event in events:
        moment = datetime.fromtimestamp(event.time_ms / 1000, timezone.utc).isoformat(timespec="milliseconds")
        about = event.process or event.service or event.host or ""
        print(f"{moment} {server} {event.kind.name} {about} {event.message or ''}".rstrip(), flush=True)


def main():
    server, user = sys.argv[1:3]
    password = os.environ["PA_PASSWORD"]
    with agentclient.connect(server, user, password) as agent:
        servers = list(dict.fromkeys([server] + [route.server for route in agent.routes()]))
    connections = [agentclient.connect(name, user, password) for name in servers]
    followers = [(connection, connection.events()) for connection in connections]
    threads = [threading.Thread(target=show, args=(c.server, events)) for c, events in followers]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except KeyboardInterrupt:
        for _, events in followers:
            events.close()  # each follower ends within its wait of a second
        for thread in threads:
            thread.join()
    finally:
        for connection in connections:
            connection.close()


if __name__ == "__main__":
    main()
