#!/bin/sh
# What one more host costs, all in: the whole-process peak RSS of tarnix-cli
# reading 10,000 and then 40,000 new hosts (each with one link), the
# difference divided by 30,000. Then a churn of 400,000 addresses at 1,000
# new ones a second against 40,000 read at once, under the default bound.
#
# usage: per_host_memory.sh TARNIX_CLI [WORK_DIR]
set -eu
cli=$1
work=${2:-${TMPDIR:-/tmp}/tarnix-per-host}
here=$(dirname "$0")
mkdir -p "$work"
for n in 10000 40000 400000; do
  [ -s "$work/churn$n.pcap" ] || python3 "$here/gen_churn.py" "$work/churn$n.pcap" --count $n --rate 1000 >/dev/null
done
peak() {
  /usr/bin/time -f %M "$cli" --read "$1" --no-resolve --json 2>&1 >/dev/null | tail -n 1
}
a=$(peak "$work/churn10000.pcap")
b=$(peak "$work/churn40000.pcap")
c=$(peak "$work/churn400000.pcap")
echo "peak RSS: 10k hosts ${a} KiB, 40k hosts ${b} KiB, 400k churn ${c} KiB"
awk -v a="$a" -v b="$b" -v c="$c" 'BEGIN {
  printf "per host (40k - 10k) / 30k: %.0f bytes\n", (b - a) * 1024 / 30000
  printf "400k churn against 40k at once: %.2fx\n", c / b
}'
