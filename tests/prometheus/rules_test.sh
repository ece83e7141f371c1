#!/usr/bin/env bash
# The Prometheus examples as Prometheus and Alertmanager read them: the rules
# load and pass their unit tests (kel36-alerts.test.yml), every alert has a
# test, the scrape configuration loads with its rule file, and the
# Alertmanager configuration loads and routes each kind of alert to its
# receiver. Exits 77 (skipped) when promtool or amtool is not installed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
examples=$root/examples/prometheus
tests=$root/tests/prometheus
for tool in promtool amtool; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (Debian packages prometheus, prometheus-alertmanager)"
        exit 77
    fi
done
failures=0
check() { # check DESCRIPTION COMMAND...: the command's output is shown when it fails
    local what=$1 out; shift
    if out=$("$@" 2>&1); then echo "ok - $what"; else
        echo "not ok - $what"; printf '%s\n' "$out" | sed 's/^/    /'; failures=$((failures + 1)); fi
}

check "promtool check rules" promtool check rules "$examples/kel36-alerts.yml"
check "promtool test rules" promtool test rules "$tests/kel36-alerts.test.yml"
for alert in $(sed -n 's/^ *- alert: *//p' "$examples/kel36-alerts.yml" | sort -u); do
    check "alert $alert has a unit test" grep -q "alertname: $alert\$" "$tests/kel36-alerts.test.yml"
done
check "promtool check config (and its rule file)" promtool check config "$examples/prometheus.yml"
check "amtool check-config" amtool check-config "$examples/alertmanager.yml"

# route LABELS... RECEIVER: where Alertmanager sends an alert with these labels.
route() {
    local receiver=${!#}
    check "route ${*:1:$#-1} -> $receiver" amtool config routes test \
        --config.file="$examples/alertmanager.yml" --verify.receivers="$receiver" "${@:1:$#-1}"
}
route alertname=Kel36AlarmActive severity=critical device=genset-1 signal=a_7 kel36-pager
route alertname=Kel36HostGone severity=critical reason=no_target job=kel36 kel36-pager
route alertname=Kel36AlarmActive severity=warning device=genset-1 signal=a_5 kel36-warnings
route alertname=Kel36DeviceNotAnswering severity=warning device=genset-1 kel36-warnings
route alertname=NodeDown severity=critical site-default

[ "$failures" -eq 0 ] && echo "prometheus rules: all checks passed" || echo "prometheus rules: $failures checks failed"
exit $((failures > 0))
