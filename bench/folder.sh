#!/usr/bin/env bash
# Benchmark of the folder import: 1,000 mails imported by meldimport-all
# against the same 1,000 mails imported by a shell loop that copies each to
# mail.txt and runs meldimport; and meldimport-all into a table that already
# holds a million lines against one into a new table; and 1,000 messages of
# 50,000 bytes in quoted-printable, and in base64, against 1,000 plain mails
# of their texts. Rounds of hyperfine,
# one command after the other in each round; the figures are medians over
# the rounds, with the spread of the rounds.
#   bench/folder.sh [rounds]     BENCH_DIR=/some/dir to measure elsewhere
set -euo pipefail
rounds=${1:-5}
runs=${BENCH_RUNS:-3}
mails=${BENCH_MAILS:-1000}
. "$(dirname "$0")/common.sh"

build_release meldimport meldimport-all
tool=$build/meldimport
all=$build/meldimport-all

cd "$work"
cp "$top/examples/tage.txt" tage.txt
cp "$top/examples/tabelle.csv" tab-small.csv
small=$(stat -c %s tab-small.csv)
smalllines=$(wc -l < tab-small.csv)
# The mails: the worked example, each under a name and with a name of its own.
mkdir mails
for ((i = 1; i <= mails; i++)); do
  sed "s/^Name: Erika Muster/Name: Erika Muster $i/" "$top/examples/mail.txt" > "mails/$((1700000000 + i)).M$i.bench"
done
# Messages of 50,000 bytes in quoted-printable and in base64, and the plain
# mails of their texts, each under 1,000 names, each one a mail of its own
# (a Message-ID of its own, a line of its own behind the text), or all but
# the first would be doubles.
for enc in quoted-printable base64; do
  mkdir "message-$enc" "text-$enc"
  bigmail "$(textfor $enc)" > text.tmp
  message $enc < text.tmp > message.tmp
  for ((i = 1; i <= mails; i++)); do
    { cat text.tmp; printf '%d\r\n' "$i"; } > "text-$enc/$((1700000000 + i)).M$i.bench"
    { printf 'Message-ID: <%d@bench.example>\r\n' "$i"; cat message.tmp; } > "message-$enc/$((1700000000 + i)).M$i.bench"
  done
done
rm text.tmp message.tmp
# The big table: the header and a million lines.
line='Max Beispiel;max@example.org;1;-;T 0456 12345;J;-;J;J;Bis dann.;'
{ cat tab-small.csv; awk -v l="$line" 'BEGIN { for (n = 0; n < 1000000; n++) printf "%s\r\n", l }'; } > tab-big.csv
big=$(stat -c %s tab-big.csv)

# Each timed run starts from the same files: the folder full again, the
# table cut back to its size, no log, no memory of imported mails, no page.
prep() { echo "sh -c 'rm -rf ein prot-all.txt importierte-mails.txt uebersicht.html && cp -r ${3:-mails} ein && ln -sf $1 tabelle.csv && truncate -s $2 $1'"; }
names=(shell-loop folder folder-1M message-qp text-qp message-base64 text-base64)
cmds=("sh -c 'for m in mails/*; do cp \"\$m\" mail.txt && $tool; done'" "$all ein" "$all ein" "$all ein" "$all ein" "$all ein" "$all ein")
preps=("$(prep tab-small.csv "$small")" "$(prep tab-small.csv "$small")" "$(prep tab-big.csv "$big")"
       "$(prep tab-small.csv "$small" message-quoted-printable)" "$(prep tab-small.csv "$small" text-quoted-printable)"
       "$(prep tab-small.csv "$small" message-base64)" "$(prep tab-small.csv "$small" text-base64)")

for ((r = 1; r <= rounds; r++)); do
  args=()
  for i in "${!cmds[@]}"; do args+=(--prepare "${preps[$i]}" -n "${names[$i]}" "${cmds[$i]}"); done
  round "$r" --warmup 1 --runs "$runs" "${args[@]}"
done
# The last run of each left its table: all mails must be in it.
[ "$(($(wc -l < tab-small.csv) - smalllines))" -eq "$mails" ] || { echo "not every mail is in the table" >&2; exit 1; }

awk -v rounds="$rounds" -v mails="$mails" "$report_awk"'
  END {
    split("shell-loop folder folder-1M message-qp text-qp message-base64 text-base64", names, " ")
    for (k = 1; k <= 7; k++) each(names[k], 1e6 / mails, "us per mail")
    report("folder import / shell loop", "folder", "shell-loop", 0.20)
    report("1M-line table / new table", "folder-1M", "folder", 1.10)
    report("quoted-printable / its texts", "message-qp", "text-qp", 1.30)
    report("base64 / its texts", "message-base64", "text-base64", 1.30)
  }' "$results"
echo "($mails mails, $rounds rounds of $runs runs each, in $base, $(machine))"
