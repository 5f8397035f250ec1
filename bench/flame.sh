#!/bin/sh
# A text flame graph from a callgrind profile: the frames under one function, each with its share
# of that function's inclusive cost, as an indented tree; or, with --folded, the same stacks in
# the folded form flame-graph tools read ("a;b;c cost" per line).
#
#   valgrind --tool=callgrind --callgrind-out-file=cg.out --toggle-collect='*ComponentQuery*' \
#       build/bin/bench_period --benchmark_filter='/10000$'
#   bench/flame.sh cg.out ComponentQuery              # top 25 frames, 6 levels deep
#   bench/flame.sh cg.out ComponentQuery 40 8         # top 40 frames, 8 levels deep
#   bench/flame.sh --folded cg.out ComponentQuery > cg.folded
# CALLGRIND_OUT may be a comma-separated list of profiles (parts of one run); they are summed.
#
# Callgrind keeps caller-callee pairs, not whole stacks: below the first level a callee's cost is
# split among its own callees in the proportions it has over the whole run.
set -eu
folded=0
if [ "${1:-}" = "--folded" ]; then
  folded=1
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--folded] CALLGRIND_OUT FUNCTION [FRAMES [DEPTH]]" >&2
  exit 2
fi
exec python3 - "$folded" "$@" <<'EOF'
import re
import sys
from collections import defaultdict

folded = sys.argv[1] == "1"
path, pattern = sys.argv[2], sys.argv[3]
frames = int(sys.argv[4]) if len(sys.argv) > 4 else 25
depth_limit = int(sys.argv[5]) if len(sys.argv) > 5 else 6

names = {}          # compressed "(id)" -> name, for fn/cfn
self_cost = defaultdict(int)
edges = defaultdict(lambda: defaultdict(lambda: [0, 0]))  # caller -> callee -> [calls, inclusive]
fn = None
callee = None
pending_calls = None
compressed = re.compile(r"\((\d+)\)(?:\s+(.*))?")


def name_of(text):
    m = compressed.match(text)
    if not m:
        return text
    if m.group(2) is not None:
        names[m.group(1)] = m.group(2)
    return names.get(m.group(1), text)


def short(name):
    # Drop argument lists: "ns::C::f(int) const" -> "ns::C::f".
    s = name.replace("(anonymous namespace)::", "").replace("operator()", "operator<call>")
    s = s.replace("{lambda()", "{lambda")
    out, depth = [], 0
    for ch in s:
        if ch == "(":
            depth += 1
        elif ch == ")" and depth:
            depth -= 1
        elif depth == 0:
            out.append(ch)
    s = "".join(out).replace(" const", "").replace("operator<call>", "operator()").strip()
    return s[:110]


def lines():
    for p in path.split(","):
        names.clear()
        with open(p, errors="replace") as f:
            yield from f


if True:
    for line in lines():
        line = line.rstrip("\n")
        if not line:
            continue
        if line.startswith("fn="):
            fn = short(name_of(line[3:]))
            continue
        if line.startswith("cfn="):
            callee = short(name_of(line[4:]))
            continue
        if line.startswith("calls="):
            pending_calls = int(line[6:].split()[0])
            continue
        c = line[0]
        if c.isdigit() or c in "+-*":
            parts = line.split()
            cost = int(parts[1]) if len(parts) > 1 else 0
            if pending_calls is not None:
                e = edges[fn][callee]
                e[0] += pending_calls
                e[1] += cost
                pending_calls = None
            elif fn is not None:
                self_cost[fn] += cost

inclusive = defaultdict(int)
for f_, s in self_cost.items():
    inclusive[f_] += s
for caller, outs in edges.items():
    for callee_, (calls, cost) in outs.items():
        if callee_ != caller:
            inclusive[caller] += cost

roots = [f_ for f_ in inclusive if pattern in f_]
if not roots:
    sys.exit("no function matching %r in %s" % (pattern, path))
root = max(roots, key=lambda f_: inclusive[f_])
total = inclusive[root]
calls_into_root = sum(outs[root][0] for outs in edges.values() if root in outs)

rows = []      # (depth, name, cost)
stacks = defaultdict(float)


def walk(name, cost, depth, stack):
    whole = inclusive[name] or 1
    scale = cost / whole
    children = sorted(((c, e[1] * scale) for c, e in edges[name].items() if c not in stack),
                      key=lambda x: -x[1])
    rest = cost - sum(c for _, c in children)
    stacks[";".join(stack + [name])] += max(rest, 0.0)
    rows.append((depth, name, cost))
    for c, cc in children:
        if depth + 1 >= depth_limit or cc < total * 0.005:
            stacks[";".join(stack + [name, c])] += cc
            continue
        walk(c, cc, depth + 1, stack + [name])


walk(root, float(total), 0, [])

if folded:
    for s, c in sorted(stacks.items()):
        if c >= 1:
            print("%s %d" % (s, round(c)))
    sys.exit(0)

print("%s: %d Ir inclusive over %d call(s), %d Ir a call" %
      (root, total, calls_into_root, total // max(calls_into_root, 1)))
# The biggest frames, kept in tree order so each stays under its caller.
keep = set(sorted(range(len(rows)), key=lambda i: -rows[i][2])[:frames])
for i, (depth, name, cost) in enumerate(rows):
    if i in keep:
        print("%6.1f%%  %s%s" % (100.0 * cost / total, "  " * depth, name))
EOF
