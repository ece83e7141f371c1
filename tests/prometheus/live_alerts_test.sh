#!/usr/bin/env bash
# The rules against the real /metrics: a Prometheus server scrapes kel36-host
# polling the examples' two simulated controllers (genset-2 with low oil
# pressure and low frequency active) and evaluates kel36-alerts.yml every
# second. Exactly the two alarm alerts must fire, with their severity, code
# and text, and every series the other rules select must be there, so that a
# metric or label renamed on either side fails here and not at a site.
# Usage: live_alerts_test.sh KEL36_HOST. Exits 77 (skipped) without
# prometheus. Both programs stop by themselves after 60 s.
set -uo pipefail
kel36_host=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
if ! command -v prometheus >/dev/null; then
    echo "skipped: prometheus is not installed (Debian package prometheus)"
    exit 77
fi
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait
    rm -rf "$work"
}
trap cleanup EXIT

timeout 60 "$kel36_host" --config "$root/examples/host.json" --interval 200 --http 127.0.0.1:0 \
    >/dev/null 2>"$work/host.err" &
pids+=($!)
for _ in $(seq 100); do
    host_addr=$(sed -n 's#.*dashboard on http://\([0-9.:]*\)/.*#\1#p' "$work/host.err")
    [ -n "$host_addr" ] && break
    sleep 0.1
done
[ -n "$host_addr" ] || { echo "kel36-host did not start:"; cat "$work/host.err"; exit 1; }

prom_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/prometheus.yml" <<CONFIG
global: {scrape_interval: 1s, evaluation_interval: 1s}
rule_files: ["$root/examples/prometheus/kel36-alerts.yml"]
scrape_configs:
  - job_name: kel36
    static_configs: [{targets: ["$host_addr"]}]
CONFIG
timeout 60 prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$prom_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)

# Polls the API until every check holds (at most 30 s), then prints the
# checks' results from the last poll.
python3 - "$prom_port" <<'PY'
import json, sys, time, urllib.parse, urllib.request
api = "http://127.0.0.1:%s/api/v1/" % sys.argv[1]

def get(path):
    try:
        with urllib.request.urlopen(api + path, timeout=2) as r:
            return json.load(r)["data"]
    except Exception:
        return None

def series(query):
    data = get("query?query=" + urllib.parse.quote(query))
    return sorted(s["metric"].get("device", "") for s in data["result"]) if data else None

expected_alerts = [
    ("Kel36AlarmActive", "firing", "genset-2", "a_7", "critical", "05010", "低油压告警 (low oil pressure)"),
    ("Kel36AlarmActive", "firing", "genset-2", "b_2", "warning", "05029", "频率低告警 (low frequency)"),
]
both = ["genset-1", "genset-2"]
selected = [
    "kel36:stall_ratio:10m",
    'kel36_voltage_volts{signal="battery_voltage"}',
    "kel36_answering == 1",
    "abs(time() - kel36_last_record_timestamp_seconds) < 60",
    "kel36_device_info",
]
deadline = time.time() + 30
while True:
    data = get("alerts")
    alerts = sorted(
        (a["labels"]["alertname"], a["state"], a["labels"].get("device"), a["labels"].get("signal"),
         a["labels"].get("severity"), a["annotations"].get("code"), a["annotations"].get("text"))
        for a in (data or {}).get("alerts", []))
    found = {q: series(q) for q in selected}
    results = [("alerts (pending or firing) are exactly the two alarms", alerts == expected_alerts)]
    results += [("%s selects both devices" % q, found[q] == both) for q in selected]
    if all(ok for _, ok in results) or time.time() > deadline:
        break
    time.sleep(0.5)
for what, ok in results:
    print("%s - %s" % ("ok" if ok else "not ok", what))
if not all(ok for _, ok in results):
    print("alerts:", alerts)
    print("series:", found)
    sys.exit(1)
print("live alerts: all checks passed")
PY
rc=$?
[ "$rc" -eq 0 ] || { echo "--- kel36-host:"; tail -5 "$work/host.err"; echo "--- prometheus:"; tail -5 "$work/prometheus.log"; }
exit "$rc"
