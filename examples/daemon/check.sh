#!/usr/bin/env bash
# Builds the example daemon against an installed prefix, once with
# pkg-config and once with find_package, and runs each twice against one
# kernel module stand-in state, on a machine with more process names than
# the survey's list holds (200 sleeps under names of their own are
# started for it); checks what it prints. Also checks that the manual
# pages of the prefix open by function name. Everything it starts is
# stopped by pid.
set -euo pipefail
prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d "${TMPDIR:-/tmp}/syslib-example.XXXXXX")
sleepers=()
cleanup() {
  local f pid
  # The helpers by their pid files, only while the pid is still one of ours.
  for f in "$out"/helper-*.pid; do
    [ -f "$f" ] || continue
    pid=$(head -c 15 "$f" | tr -cd '0-9')
    if [ -n "$pid" ] && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$out/"; then
      kill "$pid" 2>/dev/null || true
    fi
  done
  if [ ${#sleepers[@]} -gt 0 ]; then
    kill "${sleepers[@]}" 2>/dev/null || true
    wait "${sleepers[@]}" 2>/dev/null || true
  fi
  rm -rf "$out"
}
trap cleanup EXIT
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

# 200 process names besides the machine's own: the survey's list (128)
# is full, which the daemon takes as the partial result it is.
mkdir "$out/names"
sleep_bin=$(command -v sleep)
for i in $(seq 1 200); do
  ln -s "$sleep_bin" "$out/names/exname$i"
  "$out/names/exname$i" 600 </dev/null >/dev/null 2>&1 &
  sleepers+=($!)
done

expected="init: ok
filters: 1 2 3
filters after deleting 2: 1 3
survey: ok
own memory: exampled, resident and named
helper: running, pid file names it
SIGUSR1: blocked
exit: ok"
state="$out/state"
for run in 1 2; do
  for build in pc cmake; do
    got=$(cd "$out" && TQRT_QUIET=1 TQSYS_STATE_DIR="$state" LD_PRELOAD="$lib/libtqsys_module.so" \
          "$out/$build/exampled" "$out/$build/example_helper" "$out/helper-$build.pid") || true
    if [ "$got" != "$expected" ]; then
      printf 'the example daemon (%s build, run %s against one state) printed:\n%s\n' "$build" "$run" "$got" >&2
      exit 1
    fi
  done
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
echo "example daemon built both ways against $prefix and run twice each against one state: ok"
