# Shared by the benchmarks: hyperfine, a release build, a work directory and
# the report over rounds. Sourced, not run.
top=$(cd "$(dirname "$0")/.." && pwd)

if ! command -v hyperfine >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq hyperfine >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq hyperfine >/dev/null; }
fi

# build_release TARGET...: a release build of the targets in $build.
build=$top/build-bench
build_release() {
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target "$@" >/dev/null
}

# In memory by default: a disk's sync time would drown what the tool itself costs.
base=${BENCH_DIR:-$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )}
work=$(mktemp -d "$base/meldbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
results=$work/results.txt
: > "$results"

# round R ARGS...: one hyperfine round over the commands in ARGS; the median
# of each command goes to $results as "round name seconds".
round() {
  local r=$1
  shift
  hyperfine -N --style none --export-csv "$work/round.csv" "$@" >/dev/null 2>"$work/round.err" || {
    cat "$work/round.err" >&2
    return 1
  }
  awk -F, -v r="$r" 'NR > 1 { printf "%s %s %s\n", r, $1, $4 }' "$work/round.csv" >> "$results"
}

# The awk functions of the report: median(a, n), and
# report(label, num, den, bound): the median over the rounds of the ratio
# num / den, its spread and whether it keeps within the bound.
report_awk='
  { t[$2, $1] = $3 }
  function median(a, n,   i, j, x) {
    for (i = 2; i <= n; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  function report(label, num, den, bound,   r, q, lo, hi, m) {
    lo = 1e9; hi = 0
    for (r = 1; r <= rounds; r++) { q[r] = t[num, r] / t[den, r]; if (q[r] < lo) lo = q[r]; if (q[r] > hi) hi = q[r] }
    m = median(q, rounds)
    printf "%-32s %5.3f  (rounds %.3f to %.3f, bound %.2f) %s\n", label, m, lo, hi, bound, m <= bound ? "ok" : "OVER"
  }
  function each(name, scale, unit,   r, v) {
    for (r = 1; r <= rounds; r++) v[r] = t[name, r] * scale
    printf "%-12s median %9.1f %s\n", name, median(v, rounds), unit
  }'

# bigmail N: a registration of N bytes: the worked example's labels, its
# free text filled up with lines of 77 bytes and CR LF, its trailer.
bigmail() {
  local head tail
  head=$(head -n 8 "$top/examples/mail.txt"; echo x) && head=${head%x}
  tail=$(tail -n 3 "$top/examples/mail.txt"; echo x) && tail=${tail%x}
  printf '%s' "$head"
  awk -v n="$(($1 - ${#head} - ${#tail} - 2))" 'BEGIN { l = sprintf("%77s", ""); gsub(/ /, "x", l); l = l "\r\n"
    for (; n >= 79; n -= 79) printf "%s", l; printf "%s\r\n", substr(l, 1, n) }'
  printf '%s' "$tail"
}

# message ENCODING: the text on standard input as a message in that
# transfer encoding, as a mail program saves it.
message() {
  printf 'From: web@example.org\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: %s\r\n\r\n' "$1"
  case $1 in
    quoted-printable) tr -d '\r' | perl -MMIME::QuotedPrint -0777 -ne 'print encode_qp($_, "\r\n")' ;;
    base64) base64 -w 76 | sed 's/$/\r/' ;;
  esac
}

# textfor ENCODING: the length of the registration whose message in that
# encoding has 50,000 bytes (the message grows in step with its text).
textfor() {
  local a b
  a=$(bigmail 30000 | message "$1" | wc -c)
  b=$(bigmail 40000 | message "$1" | wc -c)
  echo $((30000 + (50000 - a) * 10000 / (b - a)))
}

machine() { echo "on $(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"; }
