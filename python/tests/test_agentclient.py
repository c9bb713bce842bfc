"""The package agentclient against a real paagentd (see conftest.py): connections, processes,
services, the followers, threads and memory."""

import os
import signal
import threading
import time

import pytest

import agentclient
from conftest import WAIT_LIMIT, eventually


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def sh(name, script):
    return agentclient.Process(name, command=script)


def next_within(iterator, wanted, limit=WAIT_LIMIT):
    """The first item of iterator for which wanted holds, within limit seconds."""
    deadline = time.monotonic() + limit
    for item in iterator:
        if wanted(item):
            return item
        assert time.monotonic() < deadline, "nothing wanted came in time"
    raise AssertionError("the iterator ended")


@pytest.mark.parametrize("server, password, timeout, error, agent_says", [
    ("server", "wrong", 10, agentclient.Refused, True),
    ("silent", None, 2, agentclient.Unreachable, False),
])
def test_connecting_fails_as_it_should(agent, server, password, timeout, error, agent_says):
    started = time.monotonic()
    with pytest.raises(error) as raised:
        agentclient.connect(getattr(agent, server), agent.user, password or agent.password, timeout)
    assert time.monotonic() - started < timeout + 5
    assert isinstance(raised.value, agentclient.Error)
    assert bool(raised.value.agent_text) == agent_says
    assert raised.value.agent_text in str(raised.value)


def test_a_connection_closes_with_its_block(agent):
    with agentclient.connect(agent.server, agent.user, agent.password) as connection:
        assert connection.whoami().user == agent.user
    assert connection.closed
    with pytest.raises(agentclient.Unreachable):
        connection.processes()


def test_a_process_lives_and_ends(connection, agent):
    trapping, marker = agent.work / "trapping", agent.work / "usr1"
    process = sh("life", f"trap 'touch {marker}' USR1; touch {trapping}; while :; do sleep 0.1; done")
    connection.start(process)
    status = connection.status(process)
    assert status.state == "running" and alive(status.pid)
    assert connection.process("life").command == process.command
    assert eventually(lambda: [(h.name, h.health) for h in connection.health("life")] ==
                      [("life", agentclient.Health.READY)])
    assert [(s.name, s.pid, s.threads > 0) for s in connection.stats("life")] == [("life", status.pid, True)]

    assert eventually(trapping.exists)
    connection.signal(process, signal.SIGUSR1)
    assert eventually(marker.exists)

    connection.restart(process)
    assert eventually(lambda: connection.status(process).pid not in (0, status.pid))
    status = connection.status(process)
    assert status.state == "running" and alive(status.pid)

    connection.stop(process)
    assert connection.status(process).state == "stopped"
    assert eventually(lambda: not alive(status.pid))
    with pytest.raises(agentclient.Refused):
        connection.process("no-such-process")


def test_a_service_holds_its_members(connection, tmp_path):
    members = [agentclient.Member(sh("member-a", "sleep 300"), 7),
               agentclient.Member(sh("member-b", "sleep 300"), "text")]
    service = agentclient.Service("pair", members=members)
    connection.add(service)
    assert connection.service("pair") == service
    connection.start(service)
    assert connection.status(service) == "running"
    connection.stop(service)
    assert connection.status(service) == "stopped"
    connection.remove(service)
    assert "pair" not in [s.name for s in connection.services()]

    path = tmp_path / "agent.conf"
    agentclient.write_configuration(path, [service], [agentclient.Route("node9", "PA_OTHER")])
    text = path.read_text()
    assert all(word in text for word in ("pair", "member-a", "member-b", "node9", "PA_OTHER"))


def test_events_and_output_follow(connection, agent):
    go = agent.work / "go"
    lines = [f"line {i}\n" for i in range(500)]
    process = sh("talker", f"while [ ! -e {go} ]; do sleep 0.05; done; "
                           f"i=0; while [ $i -lt 500 ]; do echo line $i; i=$((i+1)); done; exec sleep 300")
    events = connection.events()
    connection.start(process)
    started = next_within(events, lambda e: e.kind == agentclient.EventKind.STARTED and e.process == "talker")

    output = connection.output(process, tail=0)
    go.touch()
    text = b""
    for piece in output:
        text += piece.data
        if text.count(b"\n") >= len(lines):
            break
    assert text.decode() == "".join(lines)

    os.kill(started.pid, signal.SIGKILL)
    exited = next_within(events, lambda e: e.kind == agentclient.EventKind.EXITED and e.process == "talker")
    assert (exited.pid, exited.signal) == (started.pid, signal.SIGKILL)
    connection.stop(process)
    events.close()
    assert list(events) == []


def test_waiting_for_events_leaves_threads_running_and_ends_on_ctrl_c(connection):
    counted = []

    def count_then_interrupt():
        count, deadline = 0, time.monotonic() + 0.5
        while time.monotonic() < deadline:
            count += 1
        counted.append(count)
        os.kill(os.getpid(), signal.SIGINT)

    counter = threading.Thread(target=count_then_interrupt)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        counter.start()
        for _ in connection.events():
            pass
    counter.join(WAIT_LIMIT)
    # Had the wait kept the GIL, the counter would have run only once the alarm's handler did.
    assert time.monotonic() - started < WAIT_LIMIT
    assert counted and counted[0] > 1000


def test_a_thousand_calls_keep_memory_flat(connection):
    size = 16384
    process = sh("big", f"printf '%{size}s\\n' '' | tr ' ' x; exec sleep 300")
    connection.start(process)

    def last_line():
        return b"".join(piece.data for piece in connection.output(process, tail=1, follow=False))

    assert eventually(lambda: len(last_line()) > size)

    def rss_kib():
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))

    def calls(count):
        for _ in range(count):
            assert len(last_line()) > size
            assert connection.status(process).state == "running"

    calls(100)
    before = rss_kib()
    calls(1000)
    grown = rss_kib() - before
    print(f"RSS grew by {grown} KiB over 1000 output reads and 1000 status calls")
    assert grown < 4096
    connection.stop(process)
