"""The status page in headless Chromium, driven over its DevTools protocol: every process with
its state, a stop shown live without a reload, and a row's output followed once opened."""

import base64
import itertools
import json
import os
import shutil
import subprocess
import tempfile
import urllib.request

import pytest
import websocket

from conftest import WAIT_LIMIT, eventually


class Browser:
    """One headless Chromium and its first page's DevTools connection."""

    def __init__(self, profile):
        args = ["/usr/bin/chromium", "--headless=new", "--remote-debugging-port=0", f"--user-data-dir={profile}",
                "--window-size=1200,720", "--hide-scrollbars", "about:blank"]
        if os.geteuid() == 0:
            args.append("--no-sandbox")
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        active = os.path.join(profile, "DevToolsActivePort")
        port = eventually(lambda: os.path.exists(active) and open(active).read().split("\n")[0])
        assert port, "Chromium did not open its DevTools port"
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=WAIT_LIMIT) as listing:
            page = next(t for t in json.load(listing) if t["type"] == "page")
        self.socket = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=WAIT_LIMIT)
        self.ids = itertools.count(1)

    def call(self, method, **params):
        sent = next(self.ids)
        self.socket.send(json.dumps({"id": sent, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == sent:
                assert "error" not in message, message
                return message["result"]

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def close(self):
        self.socket.close()
        self.process.terminate()
        try:
            self.process.wait(WAIT_LIMIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def browser():
    profile = tempfile.mkdtemp(prefix="paexporter-chromium.")
    opened = Browser(profile)
    yield opened
    opened.close()
    shutil.rmtree(profile, ignore_errors=True)


STATES = "Object.fromEntries([...document.querySelectorAll('tr.process')]" \
         ".map(r => [r.dataset.server + '/' + r.dataset.process, r.dataset.state]))"
OUTPUT = "(document.querySelector('pre.output') || {}).textContent || ''"


def test_page_follows_states_and_output_without_reloading(cluster, browser):
    exporter = cluster.exporter("--all", "--listen", "127.0.0.1:0")
    try:
        browser.call("Page.navigate", url=exporter.url)
        records = json.loads(cluster.pactl("-S", "PA_FIRST", "--all", "--json", "status"))
        wanted = {r["server"] + "/" + r["name"]: r["state"] for r in records}
        assert eventually(lambda: browser.evaluate(STATES) == wanted), browser.evaluate(STATES)
        browser.evaluate("window.marker = 'still here'")

        cluster.pactl("-S", "PA_FIRST", "stop", "idle")
        # Sooner than the page's own reading every 15 s: the agent's event brought it.
        assert eventually(lambda: browser.evaluate(STATES).get("PA_FIRST/idle") == "stopped", limit=5)
        assert browser.evaluate("window.marker") == "still here", "the page was loaded again"

        browser.evaluate("document.querySelector('tr.process[data-process=ticker]').click()")
        first = eventually(lambda: "tick" in browser.evaluate(OUTPUT) and browser.evaluate(OUTPUT))
        assert first, "no output shown"
        assert eventually(lambda: len(browser.evaluate(OUTPUT)) > len(first)), "the output is not followed"

        shot = browser.call("Page.captureScreenshot", format="png")["data"]
        with open(os.environ["PAEXPORTER_SCREENSHOT"], "wb") as png:
            png.write(base64.b64decode(shot))

        browser.evaluate("document.querySelector('tr.process[data-process=ticker]').click()")
        assert browser.evaluate("document.querySelectorAll('pre.output').length") == 0
    finally:
        assert exporter.stop() == 0
