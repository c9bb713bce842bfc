"""Two real paagentd on loopback, the first routing a host to the second, each running processes
defined with pactl, and paexporter reading both: what the exporter's tests stand on.

The agents are set up as python/tests/conftest.py sets up its one: a home each, a users file
(an admin login for pactl, a read login for the exporter), one login key and a VTHOME whose
interfaces file names them, with encrypted passwords required."""

import json
import os
import re
import secrets
import signal
import subprocess
import time
import types
import urllib.request

import pytest

WAIT_LIMIT = 20  # seconds: every wait ends by then


def eventually(condition, limit=WAIT_LIMIT):
    """condition()'s first true value within limit seconds, polling it; None when it never is."""
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.05)


def _hash(password):
    return subprocess.run([os.environ["PAAGENTD"], "--hash-password"], input=password + "\n",
                          capture_output=True, text=True, check=True).stdout.strip()


class Cluster:
    def __init__(self, work):
        self.work = work
        self.vthome = work / "vthome"
        self.vthome.mkdir()
        (self.vthome / "freetds.conf").write_text("[global]\n\tencryption = require\n")
        self.password = secrets.token_hex(12)
        self.reader_password = secrets.token_hex(12)
        self.users = work / "users"
        self.users.write_text(f"tester:{_hash(self.password)}\nwatcher:{_hash(self.reader_password)}:read\n")
        self.users.chmod(0o600)
        self.agents = {}
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("PA_")}
        self.env["VTHOME"] = str(self.vthome)

    def start_agent(self, name, *options):
        home = self.work / name
        home.mkdir()
        out = home / "agent.out"
        with open(out, "w") as stdout, open(home / "agent.log", "w") as stderr:
            process = subprocess.Popen([os.environ["PAAGENTD"], "--home", str(home), "--users", str(self.users),
                                        "--login-key", str(self.work / "login_key.pem"),
                                        "--listen", "127.0.0.1:0", "--name", name, *options],
                                       stdout=stdout, stderr=stderr, env=self.env)
        self.agents[name] = process

        def port():
            assert process.poll() is None, f"paagentd exited with {process.returncode}"
            found = re.findall(r"listening on 127\.0\.0\.1:(\d+)$", out.read_text(), re.M)
            return found and int(found[0])

        listening = eventually(port)
        assert listening, "paagentd did not report listening"
        with open(self.vthome / "interfaces", "a") as interfaces:
            interfaces.write(f"{name}\n\tquery tcp 5.0 127.0.0.1 {listening}\n")

    def pactl(self, *args):
        env = dict(self.env, PA_USER="tester", PA_PASSWORD=self.password)
        run = subprocess.run([os.environ["PACTL"], *args], env=env, capture_output=True, text=True,
                             timeout=WAIT_LIMIT)
        assert run.returncode == 0, f"pactl {args}: {run.stderr}"
        return run.stdout

    def exporter(self, *args):
        """A paexporter started with args, reading the first agent as the read-only login; it
        has reported where it serves."""
        return Exporter(self, args)

    def stop(self):
        for process in self.agents.values():
            if process.poll() is None:
                process.terminate()
        for process in self.agents.values():
            try:
                process.wait(WAIT_LIMIT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


class Exporter:
    def __init__(self, cluster, args):
        self.log = open(cluster.work / f"exporter.{secrets.token_hex(4)}.log", "w+")
        env = dict(cluster.env, PA_SERVER="PA_FIRST", PA_USER="watcher", PA_PASSWORD=cluster.reader_password)
        self.process = subprocess.Popen([os.environ["PAEXPORTER"], *args], env=env, stdout=subprocess.DEVNULL,
                                        stderr=self.log, text=True)

        def serving():
            assert self.process.poll() is None, f"paexporter exited with {self.process.returncode}: {self.errors()}"
            found = re.search(r"serving (https?://\S+)", self.errors())
            return found and found.group(1)

        self.url = eventually(serving)
        assert self.url, "paexporter did not report serving"

    def errors(self):
        self.log.seek(0)
        return self.log.read()

    def get(self, path, **request):
        with urllib.request.urlopen(urllib.request.Request(self.url + path.lstrip("/"), **request),
                                    timeout=WAIT_LIMIT) as response:
            return response.read().decode()

    def status(self):
        return json.loads(self.get("api/status"))

    def stop(self):
        """Sends SIGTERM; the exit status, which comes within the bound."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None
        finally:
            self.log.close()


TICKER = "n=0; while :; do n=$((n+1)); echo tick $n; sleep 0.2; done"


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """PA_FIRST runs "ticker" and "idle", PA_SECOND runs "far" and has "parked" stopped; PA_FIRST
    routes host node2 to PA_SECOND."""
    made = Cluster(tmp_path_factory.mktemp("exporter"))
    try:
        made.start_agent("PA_FIRST")
        made.start_agent("PA_SECOND")
        made.pactl("-S", "PA_FIRST", "route", "add", "node2", "PA_SECOND")
        made.pactl("-S", "PA_FIRST", "start", "ticker", "--command", f"sh -c '{TICKER}'")
        made.pactl("-S", "PA_FIRST", "start", "idle", "--command", "sleep 600")
        made.pactl("-S", "PA_SECOND", "start", "far", "--command", "sleep 600")
        made.pactl("-S", "PA_SECOND", "start", "parked", "--command", "sleep 600")
        made.pactl("-S", "PA_SECOND", "stop", "parked")
        yield made
    finally:
        made.stop()
