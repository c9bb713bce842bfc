"""A real paagentd on loopback for the tests, set up as scripts/local_agent.bash does: its own
home, a users file with one login of a random password, a login key and a VTHOME whose
interfaces file names it, and a silent server (a socket that listens and never answers)."""

import os
import re
import secrets
import signal
import socket
import subprocess
import time
import types

import pytest

WAIT_LIMIT = 20  # seconds: every wait of a test ends by then
TEST_LIMIT = 60  # seconds: every test ends by then, even one stuck in a follower's wait


def eventually(condition, limit=WAIT_LIMIT):
    """Whether condition() holds within limit seconds, polling it."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True


def _listening_port(path, agent):
    """The port the agent reports on its standard output, once it listens."""
    found = []

    def listening():
        assert agent.poll() is None, f"paagentd exited with {agent.returncode}"
        found[:] = re.findall(r"listening on 127\.0\.0\.1:(\d+)$", path.read_text(), re.M)
        return found

    assert eventually(listening), "paagentd did not report listening"
    return int(found[0])


@pytest.fixture(scope="session")
def agent(tmp_path_factory):
    paagentd = os.environ["PAAGENTD"]
    work = tmp_path_factory.mktemp("agent")
    vthome = work / "vthome"
    vthome.mkdir()
    (vthome / "freetds.conf").write_text("[global]\n\tencryption = require\n")
    password = secrets.token_hex(12)
    hashed = subprocess.run([paagentd, "--hash-password"], input=password + "\n", capture_output=True,
                            text=True, check=True).stdout.strip()
    users = work / "users"
    users.write_text(f"tester:{hashed}\n")
    users.chmod(0o600)
    out = work / "agent.out"
    out.touch()
    (work / "home").mkdir()
    with open(out, "w") as stdout, open(work / "agent.log", "w") as stderr:
        process = subprocess.Popen([paagentd, "--home", str(work / "home"), "--users", str(users),
                                    "--login-key", str(work / "login_key.pem"), "--listen", "127.0.0.1:0",
                                    "--name", "PA_TEST"], stdout=stdout, stderr=stderr)
    silent = socket.socket()
    try:
        port = _listening_port(out, process)
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        (vthome / "interfaces").write_text(
            f"PA_TEST\n\tquery tcp 5.0 127.0.0.1 {port}\n"
            f"PA_SILENT\n\tquery tcp 5.0 127.0.0.1 {silent.getsockname()[1]}\n")
        os.environ["VTHOME"] = str(vthome)
        yield types.SimpleNamespace(server="PA_TEST", silent="PA_SILENT", user="tester", password=password,
                                    work=work)
    finally:
        silent.close()
        process.terminate()
        try:
            process.wait(WAIT_LIMIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


@pytest.fixture
def connection(agent):
    import agentclient
    with agentclient.connect(agent.server, agent.user, agent.password, timeout=10) as opened:
        yield opened


@pytest.fixture(autouse=True)
def bounded():
    """Fails a test that outlives TEST_LIMIT: the followers check for signals between their
    waits, so the alarm's exception ends even an iteration that waits for what never comes."""
    def overdue(number, frame):
        raise TimeoutError(f"the test took longer than {TEST_LIMIT} seconds")

    previous = signal.signal(signal.SIGALRM, overdue)
    signal.setitimer(signal.ITIMER_REAL, TEST_LIMIT)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
