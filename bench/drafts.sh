#!/usr/bin/env bash
# Draft listing: `zimlo-tool drafts list` over 1,000 generated drafts against the raw I/O of
# reading every project.json (`find DIR -name project.json -exec cat {} +`). Runs both in turn,
# prints the median wall time (and CPU time) of each and their ratio (goal: at most 1.5x wall).
#   DRAFTS_COUNT (1000) drafts, DRAFTS_RUNS (15) runs; BENCH_SMOKE=1: 50 drafts, one run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${ZIMLO_BUILD_DIR:-$here/../build}
tool=$build/tools/zimlo-tool/zimlo-tool
if [ "${BENCH_SMOKE:-0}" = 1 ]; then
  count=${DRAFTS_COUNT:-50}
  runs=${DRAFTS_RUNS:-1}
else
  count=${DRAFTS_COUNT:-1000}
  runs=${DRAFTS_RUNS:-15}
fi
[ -x "$tool" ] || { echo "zimlo-tool not built at $tool" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/Drafts"
python3 "$here/drafts_generate.py" "$root" "$count"
listed=$("$tool" drafts list --root "$root" | wc -l)
echo "drafts: $count generated, $listed listed (one per asset identifier), $runs runs each"

python3 - "$runs" "$tool" "$root" <<'PY'
import os, resource, statistics, subprocess, sys, time
runs, tool, root = int(sys.argv[1]), sys.argv[2], sys.argv[3]
commands = {
    "zimlo-tool drafts list": [tool, "drafts", "list", "--root", root],
    "find -exec cat (raw I/O)": ["find", root, "-name", "project.json", "-exec", "cat", "{}", "+"],
}
def measure(argv):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu
results = {name: [] for name in commands}
for argv in commands.values():
    measure(argv)  # warm the page cache
for _ in range(runs):
    for name, argv in commands.items():
        results[name].append(measure(argv))
medians = {}
for name, samples in results.items():
    wall = statistics.median(s[0] for s in samples)
    cpu = statistics.median(s[1] for s in samples)
    medians[name] = (wall, cpu)
    print(f"{name}: median {wall * 1000:.1f} ms wall, {cpu * 1000:.1f} ms CPU")
(ours_wall, ours_cpu), (peer_wall, peer_cpu) = medians.values()
print(f"ratio: {ours_wall / peer_wall:.2f}x wall, {ours_cpu / peer_cpu:.2f}x CPU (goal: at most 1.5x wall)")
PY
