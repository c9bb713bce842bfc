#include "status_page.h"

namespace paexporter {

// Reads /api/status again whenever an agent reports an event on /api/events; an opened row
// follows the process's output on /api/output.
const char *const kStatusPage = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Process agents</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #1d2330; background: #f6f7f9; }
  h1 { font-size: 1.4em; margin: 0 0 .2em; }
  h2 { font-size: 1.1em; margin: 1.4em 0 .4em; }
  #live { font-size: .85em; color: #5b6475; }
  #live.lost { color: #b3261e; }
  table { border-collapse: collapse; width: 100%; background: #fff; box-shadow: 0 1px 2px #0002; }
  th, td { text-align: left; padding: .35em .7em; border-bottom: 1px solid #e4e7ec; white-space: nowrap; }
  th { background: #eef1f5; font-weight: 600; }
  td.command { white-space: normal; font-family: ui-monospace, monospace; font-size: .9em; color: #5b6475; }
  td.number { text-align: right; font-variant-numeric: tabular-nums; }
  tr.process { cursor: pointer; }
  tr.process:hover { background: #f0f4ff; }
  .state { display: inline-block; padding: 0 .6em; border-radius: 1em; font-weight: 600; color: #fff; }
  .state-running { background: #1e8e3e; }
  .state-stopped { background: #6b7280; }
  .state-exited { background: #b7791f; }
  .state-failed, .state-unknown { background: #c5221f; }
  .health-healthy, .health-ready { color: #1e8e3e; }
  .health-unhealthy { color: #c5221f; font-weight: 600; }
  .health-starting { color: #b7791f; }
  .down { color: #c5221f; font-weight: 600; }
  pre.output { margin: 0; max-height: 20em; overflow: auto; background: #111827; color: #e5e7eb; padding: .6em;
               font-size: .85em; white-space: pre-wrap; }
</style>
</head>
<body>
<h1>Process agents</h1>
<div id="live">connecting&hellip;</div>
<div id="agents"></div>
<script>
"use strict";
const opened = new Map();  // key of an opened row -> {source, pre}

const key = (r) => r.server + "\u0000" + r.host + "\u0000" + r.name;

function element(tag, attributes, ...children) {
  const made = document.createElement(tag);
  Object.assign(made, attributes || {});
  for (const child of children) {
    made.append(child);
  }
  return made;
}

function duration(seconds) {
  if (seconds === undefined || seconds === null) return "";
  const s = Math.floor(seconds), d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600),
        m = Math.floor(s % 3600 / 60);
  return d ? `${d}d ${h}h` : h ? `${h}h ${m}m` : m ? `${m}m ${s % 60}s` : `${s % 60}s`;
}

function bytes(count) {
  if (count === undefined || count === null) return "";
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let unit = 0;
  while (count >= 1024 && unit < units.length - 1) { count /= 1024; ++unit; }
  return `${count.toFixed(unit ? 1 : 0)} ${units[unit]}`;
}

function toggle(record, row) {
  const k = key(record);
  const open = opened.get(k);
  if (open) {
    open.source.close();
    opened.delete(k);
    row.nextSibling.remove();
    return;
  }
  const pre = element("pre", {className: "output"});
  const query = new URLSearchParams({server: record.server, host: record.host, process: record.name});
  const source = new EventSource("api/output?" + query);
  source.onmessage = (message) => {
    const atEnd = !pre.firstChild || pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
    pre.append(JSON.parse(message.data));
    if (atEnd) pre.scrollTop = pre.scrollHeight;
  };
  source.addEventListener("failure", (message) => {
    pre.append("\n[" + JSON.parse(message.data) + "]\n");
    source.close();
  });
  opened.set(k, {source, pre});
  row.after(detailRow(pre));
}

function detailRow(pre) {
  return element("tr", {className: "output"}, element("td", {colSpan: 10}, pre));
}

function processRow(record) {
  const row = element("tr", {className: "process", title: "click to follow its output"});
  row.dataset.server = record.server;
  row.dataset.process = record.name;
  row.dataset.state = record.state;
  const cell = (text, className) => element("td", {className: className || ""}, text);
  row.append(cell(record.name), cell(record.host),
             element("td", {}, element("span", {className: "state state-" + record.state}, record.state)),
             cell(record.pid ? String(record.pid) : "", "number"),
             element("td", {className: "health-" + (record.health || "none"), title: record.health_output || ""},
                     record.health || ""),
             cell(record.pid ? duration(record.uptime_seconds) : "", "number"),
             cell(record.restarts !== null && record.restarts !== undefined ? String(record.restarts) : "", "number"),
             cell(record.pid && typeof record.cpu_user_seconds === "number" ?
                      (record.cpu_user_seconds + record.cpu_system_seconds).toFixed(2) + " s" : "", "number"),
             cell(record.pid && record.memory_bytes ? bytes(record.memory_bytes) : "", "number"),
             cell(record.command, "command"));
  row.onclick = () => toggle(record, row);
  return row;
}

function render(records) {
  const servers = new Map();
  for (const record of records) {
    if (!servers.has(record.server)) servers.set(record.server, []);
    servers.get(record.server).push(record);
  }
  const shown = new Set();
  const sections = [];
  for (const [server, of] of servers) {
    const failed = of.find((r) => r.error);
    const title = element("h2", {}, server + " ");
    if (failed) {
      title.append(element("span", {className: "down"}, "does not answer: " + failed.error));
      sections.push(element("section", {}, title));
      continue;
    }
    const body = element("tbody");
    for (const record of of) {
      const row = processRow(record);
      body.append(row);
      const open = opened.get(key(record));
      if (open) {
        body.append(detailRow(open.pre));
        shown.add(key(record));
      }
    }
    const head = element("tr");
    for (const name of ["Process", "Host", "State", "PID", "Health", "Uptime", "Restarts", "CPU", "Memory",
                        "Command"]) {
      head.append(element("th", {}, name));
    }
    sections.push(element("section", {}, title, element("table", {}, element("thead", {}, head), body)));
  }
  for (const [k, open] of opened) {
    if (!shown.has(k)) { open.source.close(); opened.delete(k); }
  }
  document.getElementById("agents").replaceChildren(...sections);
}

async function refresh() {
  try {
    const status = await fetch("api/status");
    render(await status.json());
    live.textContent = "updated " + new Date().toLocaleTimeString();
  } catch (error) {
    live.textContent = "cannot read the status: " + error;
  }
}

let pending = null;
function refreshSoon() {
  if (pending === null) pending = setTimeout(() => { pending = null; refresh(); }, 150);
}

const live = document.getElementById("live");
const events = new EventSource("api/events");
events.onmessage = refreshSoon;
events.onopen = () => { live.classList.remove("lost"); refreshSoon(); };
events.onerror = () => { live.classList.add("lost"); live.textContent = "reconnecting to the exporter\u2026"; };
setInterval(refresh, 15000);
refresh();
</script>
</body>
</html>
)page";

}  // namespace paexporter
