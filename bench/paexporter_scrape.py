#!/usr/bin/python3
"""Times scrapes of paexporter's /metrics against one agent running N processes, and the agent's
CPU time each scrape costs (utime + stime of /proc/AGENTPID/stat), and the exporter's.

  bench/paexporter_scrape.py BUILD_DIR [N ...]     (default N: 1000)

Starts the agent, pactl and the exporter of BUILD_DIR on loopback as the exporter's tests do,
runs N `exec sleep` processes as services of up to 1,000 members, scrapes 20 times and prints
the median and the worst. The agent needs about 2 descriptors per process: raise `ulimit -n`."""

import os
import pathlib
import statistics
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools" / "paexporter" / "tests"))
from conftest import Cluster  # noqa: E402

SCRAPES = 20
MEMBERS = 1000


def configuration(count):
    lines = ["#ZEB_PA3", ""]
    for i in range(count):
        lines += [f"zeb_process 'p{i}'", "{", "\tCommand 'exec sleep 100000' run as 0", "\tHost\t=\t'localhost'",
                  "\tManaged\t=\tFalse", "\tRetryCount\t=\t0", "\tProcessType\t=\tPaNOT_PA_AWARE", "}", ""]
    for first in range(0, count, MEMBERS):
        lines += [f"zeb_service 's{first // MEMBERS}'", "{", "\tServiceType\t=\tNon-Master",
                  "\tServiceStart\t=\tNon-Auto"]
        lines += [f"\tprocess 'p{i}' NONE" for i in range(first, min(first + MEMBERS, count))]
        lines += ["}", ""]
    return "\n".join(lines + ["zeb_routing", "{", "}", ""])


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(count):
    with tempfile.TemporaryDirectory(prefix="paexporter-bench.") as work:
        cluster = Cluster(pathlib.Path(work))
        config = pathlib.Path(work) / "bench.cfg"
        config.write_text(configuration(count))
        try:
            cluster.start_agent("PA_BENCH", "--config", str(config))
            for service in range((count + MEMBERS - 1) // MEMBERS):
                cluster.pactl("-S", "PA_BENCH", "service", "start", f"s{service}")
            agent = cluster.agents["PA_BENCH"].pid
            exporter = cluster.exporter("-S", "PA_BENCH", "--listen", "127.0.0.1:0", "--timeout", "60")
            exporter.get("metrics")  # the first login's key exchange is not the scrape's
            times, cpu, own = [], [], []
            for _ in range(SCRAPES):
                before, mine, started = cpu_seconds(agent), cpu_seconds(exporter.process.pid), time.monotonic()
                scrape = exporter.get("metrics")
                times.append(time.monotonic() - started)
                cpu.append(cpu_seconds(agent) - before)
                own.append(cpu_seconds(exporter.process.pid) - mine)
            running = scrape.count('state="running"} 1')
            print(f"N={count}: {running} running; scrape {statistics.median(times) * 1000:.1f} ms median, "
                  f"{max(times) * 1000:.1f} ms worst; agent CPU {statistics.median(cpu) * 1000:.0f} ms median "
                  f"per scrape, the exporter's {statistics.median(own) * 1000:.0f} ms; {len(scrape) / 1024:.0f} KiB")
            exporter.stop()
            cluster.pactl("-S", "PA_BENCH", "agent", "stop-all")
        finally:
            cluster.stop()


if __name__ == "__main__":
    build = pathlib.Path(sys.argv[1]).resolve()
    os.environ.update(PAAGENTD=str(build / "agent/paagentd"), PACTL=str(build / "tools/pactl/pactl"),
                      PAEXPORTER=str(build / "tools/paexporter/paexporter"))
    for n in [int(a) for a in sys.argv[2:]] or [1000]:
        run(n)
