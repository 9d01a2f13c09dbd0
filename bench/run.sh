#!/usr/bin/env bash
# Benchmark: the tool against the floor (the bare system calls of one run),
# a 1 GiB table against a small one, a 50,000-byte mail against the worked
# example, and messages of 50,000 bytes in quoted-printable and in base64
# against plain mails of their texts. Rounds of hyperfine, one command after the other in each round;
# the figures are medians over the rounds, with the spread of the rounds.
#   bench/run.sh [rounds]        BENCH_DIR=/some/dir to measure elsewhere
set -euo pipefail
rounds=${1:-15}
runs=${BENCH_RUNS:-60}
. "$(dirname "$0")/common.sh"

build_release meldimport
tool=$build/meldimport
floor=$build/floor
cc -O2 -static -o "$floor" "$top/bench/floor.c" 2>/dev/null || cc -O2 -o "$floor" "$top/bench/floor.c"

cd "$work"
cp "$top/examples/mail.txt" mail-small.txt
cp "$top/examples/tage.txt" tage.txt
cp "$top/examples/tabelle.csv" tab-small.csv
small=$(stat -c %s tab-small.csv)
# The big mail: the example's labels, a free text filled up to 50,000 bytes,
# its trailer. Messages of 50,000 bytes in quoted-printable and in base64,
# and the plain mails of their texts.
bigmail 50000 > mail-big.txt
for enc in quoted-printable base64; do
  bigmail "$(textfor $enc)" > "text-$enc.txt"
  message $enc < "text-$enc.txt" > "message-$enc.txt"
done
line='Max Beispiel;max@example.org;1;-;T 0456 12345;J;-;J;J;Bis dann.;'
awk -v l="$line" 'BEGIN { for (n = length(l) + 2; n <= 1048576; n += length(l) + 2) printf "%s\r\n", l }' > chunk.tmp
for ((i = 0; i < 1024; i++)); do cat chunk.tmp; done > tab-big.csv
rm chunk.tmp
big=$(stat -c %s tab-big.csv)

# Each timed run starts from the same files: the table cut back to its size.
prep() { echo "sh -c 'ln -sf $1 mail.txt && ln -sf $2 tabelle.csv && truncate -s $3 $2'"; }
names=(floor tool table-1GiB mail-50000 message-qp text-qp message-base64 text-base64)
cmds=("$floor" "$tool" "$tool" "$tool" "$tool" "$tool" "$tool" "$tool")
preps=("$(prep mail-small.txt tab-small.csv "$small")" "$(prep mail-small.txt tab-small.csv "$small")"
       "$(prep mail-small.txt tab-big.csv "$big")" "$(prep mail-big.txt tab-small.csv "$small")"
       "$(prep message-quoted-printable.txt tab-small.csv "$small")" "$(prep text-quoted-printable.txt tab-small.csv "$small")"
       "$(prep message-base64.txt tab-small.csv "$small")" "$(prep text-base64.txt tab-small.csv "$small")")

for ((r = 1; r <= rounds; r++)); do
  args=()
  for i in "${!cmds[@]}"; do args+=(--prepare "${preps[$i]}" -n "${names[$i]}" "${cmds[$i]}"); done
  round "$r" --warmup 5 --runs "$runs" "${args[@]}"
done

awk -v rounds="$rounds" "$report_awk"'
  END {
    split("floor tool table-1GiB mail-50000 message-qp text-qp message-base64 text-base64", names, " ")
    for (k = 1; k <= 8; k++) each(names[k], 1e6, "us per run")
    report("tool / floor", "tool", "floor", 1.15)
    report("1 GiB table / small table", "table-1GiB", "tool", 1.05)
    report("50,000-byte mail / example", "mail-50000", "tool", 1.20)
    report("quoted-printable / its text", "message-qp", "text-qp", 1.50)
    report("base64 / its text", "message-base64", "text-base64", 1.50)
  }' "$results"
echo "($rounds rounds of $runs runs each, in $base, $(machine))"
