#!/usr/bin/env bash
# Runs the benchmark verdicts of a Release tree and writes docs/performance.md
# with their figures, the machine and the date.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DSYSLIB_BUILD_BENCH=ON \
  -DSYSLIB_BUILD_TESTS=OFF -DSYSLIB_BUILD_TOOLS=OFF >/dev/null
cmake --build build/bench -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
log=$(cd build/bench && ctest -L bench -V 2>&1 || true)
{
  echo "# Performance"
  echo
  echo "Each benchmark is a verdict: the library's call and the bare work it cannot"
  echo "avoid are timed in turn (thread CPU time), 15 pairs, the side that goes first"
  echo "changing each time; the median ratio must stay within the bound, or the test"
  echo "command fails. \`scripts/performance.sh\` made this page from a run on"
  echo "$(date -u +%Y-%m-%d), on $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
  echo "($(nproc) cores, Linux $(uname -r))."
  echo
  echo "| Verdict | Comparison | Median | Range of the 15 | Bound |"
  echo "|---|---|---|---|---|"
  grep -E 'verdict (PASS|FAIL|SKIP)' <<<"$log" | sed 's/^[0-9]*: //' |
    sed -E 's/^verdict ([A-Z]+): (.*) median ([0-9.-]+) \(([0-9.-]+) to ([0-9.-]+) over [0-9]+ pairs\), bound ([0-9.]+)$/| \1 | \2 | \3 | \4 to \5 | \6 |/'
  echo
  echo "Ratios are times of the library over times of the bare work, except the"
  echo "launch sweep, given in milliseconds of the first child's CPU time. Without the"
  echo "right to raise the hard descriptor limit to 1,048,576 the sweep is measured at"
  echo "the limit there is and scaled up, an upper bound for close_range."
} > docs/performance.md
cat docs/performance.md
