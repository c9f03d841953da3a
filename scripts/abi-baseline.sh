#!/usr/bin/env bash
# Records the exported interface of libsyslib.so.1 (functions, symbol
# versions, the public records' layouts) for this machine's architecture
# and for ppc32, from the native and ppc trees of scripts/test.sh (Release
# with debug information). Commit the files with the change that moves them.
#   scripts/abi-baseline.sh          write abi/libsyslib.<arch>.abi
#   scripts/abi-baseline.sh --check  compare instead; fails on any change
set -euo pipefail
cd "$(dirname "$0")/.."
check=${1:-}
status=0
for pair in "native:$(uname -m)" "ppc:ppc32"; do
  tree=build/${pair%%:*} arch=${pair#*:}
  lib=$tree/src/libsyslib.so.1 baseline=abi/libsyslib.$arch.abi
  if [ "$check" = --check ]; then
    # A change libabigail files as harmless (a field turned from unsigned to
    # signed, say) still counts: it shows as "filtered out" in the summary.
    if report=$(abidiff --harmless --headers-dir1 include --headers-dir2 include "$baseline" "$lib") &&
       ! grep -Eq '\([1-9][0-9]* filtered out\)' <<<"$report"; then
      echo "abi: libsyslib.so.1 ($arch) matches $baseline"
    else
      printf '%s\n' "$report" >&2
      echo "abi: libsyslib.so.1 ($arch) differs from $baseline; if that is meant," \
           "record it with scripts/abi-baseline.sh in the same commit" >&2
      status=1
    fi
  else
    mkdir -p abi
    abidw --headers-dir include --no-corpus-path --no-show-locs --drop-undefined-syms \
      --out-file "$baseline" "$lib"
    echo "abi: wrote $baseline"
  fi
done
exit $status
