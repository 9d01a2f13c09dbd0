#!/usr/bin/env bash
# Benchmark of the overview page: the page of a table of a million lines
# against one mawk pass over the same table that sums its persons column.
# The lines are like the import's, with unclear answers and persons now and
# then, and one in fifty a registration sent again under an earlier address
# (every other one of those in other letter case). Rounds of hyperfine, one
# command after the other in each round; the figures are medians over the
# rounds, with the spread of the rounds; then the peak memory of each.
# The page comes from meldimport-all --uebersicht, as an organiser makes it.
#   bench/overview.sh [rounds]   BENCH_DIR=/some/dir to measure elsewhere
set -euo pipefail
rounds=${1:-5}
runs=${BENCH_RUNS:-5}
lines=${BENCH_LINES:-1000000}
. "$(dirname "$0")/common.sh"

if ! command -v mawk >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mawk >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mawk >/dev/null; }
fi

build_release meldimport-all
page="$build/meldimport-all --uebersicht"

cd "$work"
awk -v lines="$lines" 'BEGIN {
  printf "\357\273\277Name;Mail;Anzahl;Eink;Tel;Nacht;Fr12;Sa13;So14;Text;\r\n"
  for (i = 1; i <= lines; i++) {
    a = i % 50 == 0 ? int(i / 2) : i
    mail = "erika.muster" a "@example.org"
    if (i % 100 == 0) mail = "Erika.Muster" a "@Example.org"
    n = i % 4 + 1
    if (i % 997 == 0) n = "zwei"
    if (i % 1009 == 0) n = ""
    eink = i % 3 == 0 ? "J" : i % 101 == 0 ? "?" : "-"
    nacht = i % 5 == 0 ? "J" : i % 211 == 0 ? "?" : "-"
    fr = i % 2 == 0 ? "J" : "-"
    sa = i % 3 == 0 ? "-" : "J"
    so = fr == "-" && sa == "-" && i % 89 != 0 ? "J" : "-"
    text = i % 10 == 0 ? "Wir kommen gern.. Mit Kind und Hund, wir bringen Kuchen mit." : "Wir kommen gern.."
    printf "Erika Muster %d;%s;%s;%s;T 0123 %d;%s;%s;%s;%s;%s;\r\n", i, mail, n, eink, 456789 + i, nacht, fr, sa, so, text
  }
}' > tabelle.csv
echo "table: $lines lines, $(($(stat -c %s tabelle.csv) / 1048576)) MiB"

# The page must count every line.
$page 2>/dev/null
grep -q "id=\"anmeldungen\">$lines<" uebersicht.html || { echo "the page does not count every line" >&2; exit 1; }

for ((r = 1; r <= rounds; r++)); do
  round "$r" --warmup 1 --runs "$runs" -n mawk "mawk -F';' '{s+=\$3} END {print s}' tabelle.csv" \
    -n overview "$page"
done

awk -v rounds="$rounds" "$report_awk"'
  END {
    each("mawk", 1e3, "ms")
    each("overview", 1e3, "ms")
    report("overview page / mawk pass", "overview", "mawk", 1.00)
  }' "$results"

# Peak memory (maximum resident set size) of one run of each.
peak() {
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ { printf "%.1f MiB\n", $2 / 1024 }'
  else
    echo "(no /usr/bin/time)"
  fi
}
echo "peak memory: overview $(peak $page), mawk $(peak mawk -F';' '{s+=$3} END {print s}' tabelle.csv)"
echo "($rounds rounds of $runs runs each, in $base, $(machine))"
