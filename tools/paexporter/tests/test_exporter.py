"""paexporter end to end: its scrape checked by promtool and against pactl, an agent killed
mid-way, its refusals, TLS and basic authentication."""

import base64
import json
import os
import re
import signal
import ssl
import subprocess
import urllib.error
import urllib.request

import pytest

from conftest import WAIT_LIMIT, eventually

SAMPLE = re.compile(r'^(\w+)\{(.*)\} (\S+)$')
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')
RIGHT = 'ri"g\\ht'


def unescaped(value):
    return re.sub(r'\\(.)', lambda escape: "\n" if escape.group(1) == "n" else escape.group(1), value)


def samples(scrape, name):
    """{tuple of label values: value} of the metric's samples."""
    found = {}
    for line in scrape.splitlines():
        sample = SAMPLE.match(line)
        if sample and sample.group(1) == name:
            found[tuple(unescaped(value) for _, value in LABEL.findall(sample.group(2)))] = float(sample.group(3))
    return found


def pair_configuration():
    """Service "pair" of processes "left" and RIGHT, in the agent's configuration format; RIGHT's
    name has what a label's value must escape."""
    lines = ["#ZEB_PA3", ""]
    for name in ("left", RIGHT):
        lines += [f"zeb_process '{name}'", "{", f"\tCommand 'exec sleep 600' run as {os.getuid()}",
                  "\tHost\t=\t'localhost'", "\tManaged\t=\tFalse", "\tRetryCount\t=\t0",
                  "\tProcessType\t=\tPaNOT_PA_AWARE", "}", ""]
    lines += ["zeb_service 'pair'", "{", "\tServiceType\t=\tNon-Master", "\tServiceStart\t=\tNon-Auto",
              "\tprocess 'left' NONE", f"\tprocess '{RIGHT}' NONE", "}", "", "zeb_routing", "{", "}", ""]
    return "\n".join(lines)


@pytest.fixture(scope="module")
def pair(cluster, tmp_path_factory):
    """PA_SECOND's service "pair", of which "left" runs and RIGHT does not."""
    configuration = tmp_path_factory.mktemp("pair") / "pair.cfg"
    configuration.write_text(pair_configuration())
    cluster.pactl("-S", "PA_SECOND", "apply", str(configuration))
    cluster.pactl("-S", "PA_SECOND", "start", "left")


@pytest.fixture(scope="module")
def exporter(cluster):
    started = cluster.exporter("--all", "--listen", "127.0.0.1:0", "--timeout", "3")
    yield started
    assert started.stop() == 0, "paexporter did not end on SIGTERM within 10 s with status 0"


def test_scrape_passes_promtool_and_says_what_pactl_says(cluster, pair, exporter):
    scrape = exporter.get("metrics")
    check = subprocess.run(["promtool", "check", "metrics"], input=scrape, capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr

    records = json.loads(cluster.pactl("-S", "PA_FIRST", "--all", "--json", "status"))
    assert {r["server"] for r in records} == {"PA_FIRST", "PA_SECOND"}
    states = {key[:3]: key[3] for key, value in samples(scrape, "pa_process_state").items() if value == 1}
    pids = samples(scrape, "pa_process_pid")
    assert states == {(r["server"], r["host"], r["name"]): r["state"] for r in records}, (scrape, records)
    assert pids == {(r["server"], r["host"], r["name"]): r["pid"] for r in records}
    assert samples(scrape, "pa_agent_up") == {("PA_FIRST",): 1, ("PA_SECOND",): 1}
    running = {(r["server"], r["host"], r["name"]) for r in records if r["state"] == "running"}
    assert set(samples(scrape, "pa_process_resident_memory_bytes")) == running
    assert all(v > 0 for v in samples(scrape, "pa_process_resident_memory_bytes").values())
    assert all(v >= 1 for v in samples(scrape, "pa_process_threads").values())
    assert set(samples(scrape, "pa_process_restarts")) == set(pids)
    assert samples(scrape, "pa_service_members")[("PA_SECOND", "pair")] == 2
    assert samples(scrape, "pa_service_members_running")[("PA_SECOND", "pair")] == 1
    # /api/status is pactl's record for record, but for the figures that move as time goes by:
    # the ticker's group has a sleep in it most of the time, not always, and the start time is
    # rounded from two clocks.
    moving = {"uptime_seconds", "cpu_user_seconds", "cpu_system_seconds", "cpu_percent", "memory_bytes", "threads",
              "descriptors", "started_at"}
    steady = [{k: v for k, v in r.items() if k not in moving} for r in records]
    served = exporter.status()
    assert [list(r) for r in served] == [list(r) for r in records]
    assert [{k: v for k, v in r.items() if k not in moving} for r in served] == steady


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH"])
def test_only_reads(exporter, method):
    with pytest.raises(urllib.error.HTTPError) as refused:
        exporter.get("metrics", method=method, data=b"")
    assert refused.value.code == 405


def test_streams_leave_workers_for_scrapes(exporter):
    streams = [urllib.request.urlopen(exporter.url + "api/events", timeout=WAIT_LIMIT) for _ in range(8)]
    try:
        with pytest.raises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(exporter.url + "api/events", timeout=WAIT_LIMIT).close()
        assert refused.value.code == 503
        assert 'pa_agent_up{server="PA_FIRST"} 1' in exporter.get("metrics")
    finally:
        for stream in streams:
            stream.close()

    def opens():
        try:
            urllib.request.urlopen(exporter.url + "api/events", timeout=WAIT_LIMIT).close()
            return True
        except urllib.error.HTTPError:
            return False

    # A closed stream gives its worker back once it notices, at its next write.
    assert eventually(opens)


@pytest.mark.parametrize("args", [
    ["--listen", "0.0.0.0:0"],
    ["--listen", "0.0.0.0:0", "--users", "USERS"],
    ["--listen", "0.0.0.0:0", "--tls-cert", "CERT", "--tls-key", "KEY"],
    ["--listen", "no-port"],
])
def test_refuses_to_start_unsafe_or_wrong(cluster, tls, args):
    args = [{"USERS": str(cluster.users), "CERT": tls.cert, "KEY": tls.key}.get(a, a) for a in args]
    run = subprocess.run([os.environ["PAEXPORTER"], *args], env=cluster.env, capture_output=True, text=True,
                         timeout=WAIT_LIMIT)
    assert run.returncode == 2
    assert run.stderr.startswith("paexporter: ") and run.stderr.count("\n") == 1


@pytest.fixture(scope="module")
def tls(cluster):
    cert, key = cluster.work / "cert.pem", cluster.work / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=localhost", "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    return type("Tls", (), {"cert": str(cert), "key": str(key)})


def test_tls_and_basic_authentication_and_logins_read_again(cluster, tls):
    users = cluster.work / "exporter_users"
    users.write_text(cluster.users.read_text())
    users.chmod(0o600)
    guarded = cluster.exporter("--listen", "127.0.0.1:0", "--tls-cert", tls.cert, "--tls-key", tls.key,
                               "--users", str(users))
    try:
        assert guarded.url.startswith("https://")
        context = ssl.create_default_context()
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE

        def answer(user, password):
            headers = {}
            if user is not None:
                token = base64.b64encode(f"{user}:{password}".encode()).decode()
                headers["Authorization"] = "Basic " + token
            request = urllib.request.Request(guarded.url + "metrics", headers=headers)
            try:
                with urllib.request.urlopen(request, context=context, timeout=WAIT_LIMIT) as response:
                    return response.status, response.headers, response.read().decode()
            except urllib.error.HTTPError as refused:
                return refused.code, refused.headers, ""

        for user, password, wanted in [(None, None, 401), ("watcher", "wrong", 401), ("nobody", "x", 401),
                                       ("watcher", cluster.reader_password, 200)]:
            status, headers, body = answer(user, password)
            assert status == wanted, (user, password)
            if wanted == 401:
                assert headers["WWW-Authenticate"].startswith("Basic realm=")
            else:
                assert 'pa_agent_up{server="PA_FIRST"} 1' in body

        # SIGHUP reads the file again; a file refused, or without a login, leaves the logins as they were.
        tester = [line for line in users.read_text().splitlines() if line.startswith("tester:")]
        for text, said, watcher in [("watcher\n", "keeps the logins it had: ", 200), ("# nobody\n", "has no login", 200),
                                    ("\n".join(tester) + "\n", "read 1 login from ", 401)]:
            users.write_text(text)
            logged = len(guarded.errors())
            guarded.process.send_signal(signal.SIGHUP)
            assert eventually(lambda: said in guarded.errors()[logged:]), guarded.errors()
            assert answer("watcher", cluster.reader_password)[0] == watcher, text
        assert answer("tester", cluster.password)[0] == 200
    finally:
        assert guarded.stop() == 0


def holds_a_socket(pid):
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                return True
        except FileNotFoundError:  # closed meanwhile
            pass
    return False


def test_a_stop_before_it_serves_is_heeded(cluster):
    """A SIGTERM taken while the exporter logs in to a frozen agent ends it once it could serve."""
    first = cluster.agents["PA_FIRST"]
    env = dict(cluster.env, PA_SERVER="PA_FIRST", PA_USER="watcher", PA_PASSWORD=cluster.reader_password)
    first.send_signal(signal.SIGSTOP)
    try:
        early = subprocess.Popen([os.environ["PAEXPORTER"], "--listen", "127.0.0.1:0", "--timeout", "30"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert eventually(lambda: holds_a_socket(early.pid)), "paexporter never connected to the agent"
        early.send_signal(signal.SIGTERM)
    finally:
        first.send_signal(signal.SIGCONT)
    try:
        _, errors = early.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        early.kill()
        early.communicate()
        pytest.fail("paexporter did not end within 10 s of a SIGTERM that came before it served")
    assert early.returncode == 0 and "serving http://" in errors, errors


def test_an_agent_routed_to_later_is_read(cluster, exporter):
    cluster.start_agent("PA_THIRD")
    cluster.pactl("-S", "PA_FIRST", "route", "add", "node3", "PA_THIRD")
    # Sooner than the routing table's reading every 30 s: the route's event brought it.
    assert eventually(lambda: samples(exporter.get("metrics"), "pa_agent_up").get(("PA_THIRD",)) == 1, limit=10)


def test_killed_agent_reads_down_and_leaves_the_other_alone(cluster, exporter):
    def series_of_first(scrape):
        return {name: {k: v for k, v in samples(scrape, name).items() if k[0] == "PA_FIRST"}
                for name in ("pa_process_state", "pa_process_pid", "pa_agent_up")}

    before = series_of_first(exporter.get("metrics"))
    cluster.pactl("-S", "PA_SECOND", "agent", "stop-all")
    second = cluster.agents["PA_SECOND"]
    second.send_signal(signal.SIGKILL)
    second.wait(WAIT_LIMIT)

    scrape = exporter.get("metrics")
    assert samples(scrape, "pa_agent_up")[("PA_SECOND",)] == 0
    assert not any(k[0] == "PA_SECOND" for k in samples(scrape, "pa_process_pid"))
    assert series_of_first(scrape) == before
    assert eventually(lambda: "PA_SECOND does not answer" in exporter.errors())
    exporter.get("metrics")
    assert exporter.errors().count("PA_SECOND does not answer") == 1
