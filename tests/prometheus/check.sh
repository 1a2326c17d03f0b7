#!/usr/bin/env bash
# The example Prometheus configuration and rules pass promtool's checks and
# the rules their unit tests; the node exporter's textfile collector serves a
# real run's metrics (a service up, one DOWN, a site) and, after -stop,
# linkwatch_up 0 and no service. Exit 77 (skipped) when a tool is missing.
# Usage: check.sh <linkwatch program> <examples/prometheus folder>
set -euo pipefail
linkwatch=$(realpath "$1")
for tool in promtool prometheus-node-exporter curl python3; do
  command -v $tool >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done
cd "$2" && promtool check config prometheus.yml && promtool test rules linkwatch.rules.test.yml
dir=$(mktemp -d) && cd "$dir" && mkdir textfile
trap '"$linkwatch" -stop >/dev/null 2>&1 || true; kill $exporter 2>/dev/null || true; rm -rf "$dir"' EXIT
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
prometheus-node-exporter --web.listen-address=127.0.0.1:$port --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$dir/textfile" 2>exporter.log &
exporter=$!
printf 'interval : "60"\nmetrics_file : "%s"\nsite : "lab 1"\nhost : "127.0.0.1"\nport : "%s"
host : "127.0.0.1"\nport : "1"\nalertcount : "1"\n' "$dir/textfile/linkwatch.prom" $port >linkwatch_host.txt
"$linkwatch" -start >/dev/null
scrape() {  # scrape <text>: the exporter serves a line holding it within 30 s
  for _ in $(seq 60); do
    curl -sf "http://127.0.0.1:$port/metrics" >scraped.txt && grep -qF "$1" scraped.txt && return 0
    sleep 0.5
  done
  echo "not served: $1"; cat scraped.txt exporter.log; return 1
}
scrape "linkwatch_host_up{host=\"127.0.0.1\",port=\"$port\",site=\"lab 1\"} 1"
scrape 'linkwatch_host_alerted{host="127.0.0.1",port="1",site="lab 1"} 1'
"$linkwatch" -stop >/dev/null && scrape 'linkwatch_up{site="lab 1"} 0'
if grep linkwatch_host_ scraped.txt; then echo 'a stopped run still names services'; exit 1; fi
