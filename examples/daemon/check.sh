#!/usr/bin/env bash
# Builds the example daemon against an installed prefix, once with
# pkg-config and once with find_package, runs each against the kernel
# module stand-in of that prefix, and checks what it prints. Also checks
# that the manual pages of the prefix open by function name.
set -euo pipefail
prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d "${TMPDIR:-/tmp}/syslib-example.XXXXXX")
trap 'pkill -f "$out/" 2>/dev/null || true; rm -rf "$out"' EXIT
lib=$(ls -d "$prefix"/lib*/libsyslib.so | head -1)
lib=${lib%/libsyslib.so}

export PKG_CONFIG_PATH="$lib/pkgconfig"
mkdir "$out/pc"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror "$here/exampled.c" -o "$out/pc/exampled" \
  $(pkg-config --cflags --libs syslib)
cc -std=c99 -Wall -Wextra -pedantic -Werror "$here/example_helper.c" -o "$out/pc/example_helper"
cmake -S "$here" -B "$out/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$out/cmake" >/dev/null

expected="init: ok
filters: 1 2 3
filters after deleting 2: 1 3
survey: ok
own memory: exampled, resident and named
helper: running, pid file names it
SIGUSR1: blocked
exit: ok"
for build in pc cmake; do
  state=$(mktemp -d "$out/state.XXXXXX")
  got=$(cd "$out" && TQRT_QUIET=1 TQSYS_STATE_DIR="$state" LD_PRELOAD="$lib/libtqsys_module.so" \
        "$out/$build/exampled" "$out/$build/example_helper" "$out/$build/helper.pid")
  if [ "$got" != "$expected" ]; then
    printf 'the example daemon (%s build) printed:\n%s\n' "$build" "$got" >&2
    exit 1
  fi
done

# Exactly the header's functions, and no C++ or runtime symbol.
if nm -D --defined-only "$lib/libsyslib.so" | awk '$2 == "T" {print $3}' | grep -v '^tq_'; then
  echo "libsyslib exports symbols that are not the header's" >&2
  exit 1
fi
# A function's name opens its family's page.
if command -v man >/dev/null && [ -d "$prefix/share/man" ]; then
  MANPAGER=cat man -M "$prefix/share/man" tq_syslib_filter_get_list 2>/dev/null | grep -q 'tq_syslib_filter_add' || {
    echo "man -M $prefix/share/man tq_syslib_filter_get_list does not open the filter page" >&2
    exit 1
  }
fi
echo "example daemon built both ways against $prefix and run: ok"
