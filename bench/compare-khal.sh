#!/usr/bin/env bash
# A week's agenda from pimctl against khal over the same 10,000 events (a tenth weekly series
# without end): both read the same generated events, the script checks that the two agendas list
# the same occurrences (count and start times) and prints wall and CPU times, min and median of 5
# runs each, warm, and their ratios.
#
#   bench/compare-khal.sh [BUILD_DIR]        (default: build)
#   EVENTS=10000 WEEK=2026-03-02 RUNS=5      environment overrides
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
events=${EVENTS:-10000}
week=${WEEK:-2026-03-02}
runs=${RUNS:-5}

die() { echo "compare-khal: $*" >&2; exit 1; }

command -v khal >/dev/null || die "khal is not installed (scripts/bootstrap.sh installs the Debian package khal)"
command -v python3 >/dev/null || die "python3 is missing"
[ -x "$build/bin/pimctl" ] && [ -x "$build/bin/regsvr" ] || die "pimctl/regsvr are not built in $build"
khal --version >/dev/null 2>&1 || die "khal is installed but does not run: $(khal --version 2>&1 | tail -1)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC LC_ALL=C.UTF-8
export PIM_REGISTRY="$work/registry.reg" PIM_STORE="$work/store.db"
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"

echo "generating $events events (a tenth weekly series) as one .ics and as a khal vdir"
python3 "$here/bench/gen-events.py" "$events" "$work/events.ics" --vdir "$work/vdir/bench"

"$build/bin/regsvr" "$build/lib/libpimserver.so" >/dev/null
"$build/bin/regsvr" "$build/lib/libVYN_PIM_OUTLOOK.so" >/dev/null
"$build/bin/pimctl" store import "$work/events.ics" >/dev/null || die "pimctl could not import the events"

cat > "$work/khal.conf" <<CONF
[calendars]
[[bench]]
path = $work/vdir/bench
type = calendar
[locale]
local_timezone = UTC
default_timezone = UTC
timeformat = %H:%M
dateformat = %Y-%m-%d
longdateformat = %Y-%m-%d
datetimeformat = %Y-%m-%dT%H:%M
longdatetimeformat = %Y-%m-%dT%H:%M
firstweekday = 0
[sqlite]
path = $work/khal.db
CONF
khal_list() { khal -c "$work/khal.conf" list --once --day-format "" "$@" "$week" 7d; }
pim_agenda() { "$build/bin/pimctl" agenda --from "$week" --week "$@"; }
khal_command=(khal -c "$work/khal.conf" list --once --day-format "" "$week" 7d)
pim_command=("$build/bin/pimctl" agenda --from "$week" --week)

echo "khal indexes the vdir on its first run (cold; not timed)"
khal_list --format "{start}" >/dev/null || die "khal list failed: $(khal_list 2>&1 | tail -3)"

# The same occurrences: start times in UTC, to the minute, sorted.
khal_list --format "{start}" | grep -v '^$' | sort > "$work/khal.starts"
pim_agenda --json --utc | python3 -c '
import json, sys
for e in json.load(sys.stdin)["entries"]:
    print(e["start"][:16])' | sort > "$work/pim.starts"
nk=$(wc -l < "$work/khal.starts"); np=$(wc -l < "$work/pim.starts")
if ! cmp -s "$work/khal.starts" "$work/pim.starts"; then
  diff "$work/khal.starts" "$work/pim.starts" | head -10 >&2
  die "the agendas differ: khal lists $nk occurrences, pimctl $np"
fi
[ "$np" -gt 0 ] || die "both agendas are empty: nothing compared"
echo "both list $np occurrences in the week of $week, at the same start times"

# Wall and CPU seconds of one whole process each run, taken by a small timer around the child
# alone: wall from a monotonic clock, CPU from the child's rusage (user + system, which Linux
# accounts from the scheduler's nanosecond run time, as perf's task-clock does), so neither is
# rounded to /usr/bin/time's 10 ms. On a shared machine the CPU time is the steadier figure.
cat > "$work/timer.py" <<'PY'
import os, sys, time
runs, out = int(sys.argv[1]), sys.argv[2]
cmd = sys.argv[3:]
with open(out, "a") as f:
    for _ in range(runs):
        # posix_spawn (a vfork in glibc), not fork: the child's times then hold no copy of the
        # timer's own page tables, which cost either program half a millisecond or more.
        t0 = time.perf_counter()
        pid = os.posix_spawnp(cmd[0], cmd, os.environ,
                              file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
        _, status, ru = os.wait4(pid, 0)
        wall = time.perf_counter() - t0
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit("%s failed" % cmd[0])
        f.write("%.6f %.6f\n" % (wall, ru.ru_utime + ru.ru_stime))
PY
stats() { sort -g | awk '{v[NR]=$1} END {printf "%.4f %.4f\n", v[1], v[int((NR+1)/2)]}'; }

: > "$work/khal.t"; : > "$work/pim.t"
for _ in $(seq "$runs"); do
  python3 "$work/timer.py" 1 "$work/khal.t" "${khal_command[@]}" || die "khal list failed"
  python3 "$work/timer.py" 1 "$work/pim.t" "${pim_command[@]}" || die "pimctl agenda failed"
done
read -r kmin kmed < <(cut -d' ' -f1 "$work/khal.t" | stats)
read -r pmin pmed < <(cut -d' ' -f1 "$work/pim.t" | stats)
read -r kcmin kcmed < <(cut -d' ' -f2 "$work/khal.t" | stats)
read -r pcmin pcmed < <(cut -d' ' -f2 "$work/pim.t" | stats)
printf '%-30s %9s %9s %9s %9s\n' "week of $week ($np occ.)" "wall min" "median" "CPU min" "median"
printf '%-30s %9s %9s %9s %9s\n' "khal list" "$kmin" "$kmed" "$kcmin" "$kcmed"
printf '%-30s %9s %9s %9s %9s\n' "pimctl agenda" "$pmin" "$pmed" "$pcmin" "$pcmed"
awk -v km="$kmed" -v pm="$pmed" -v kn="$kmin" -v pn="$pmin" -v kc="$kcmed" -v pc="$pcmed" -v kcn="$kcmin" -v pcn="$pcmin" '
  function ratio(a, b) { return b > 0 ? sprintf("%.1fx", a / b) : "(too fast to time)" }
  BEGIN {
    printf "pimctl against khal over %d runs each: wall %s median over median, %s min over min; CPU %s median over median, %s min over min\n",
           '"$runs"', ratio(km, pm), ratio(kn, pn), ratio(kc, pc), ratio(kcn, pcn)
  }'
