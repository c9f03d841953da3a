#!/usr/bin/env bash
# Builds the example daemon against an installed prefix, once with
# pkg-config and once with find_package, and runs both.
set -euo pipefail
prefix=$1
here=$(cd "$(dirname "$0")" && pwd)
out=$(mktemp -d "${TMPDIR:-/tmp}/syslib-consumer.XXXXXX")
trap 'rm -rf "$out"' EXIT

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib64/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -pedantic -Werror "$here/consumer.c" -o "$out/consumer-pc" \
  $(pkg-config --cflags --libs syslib)
"$out/consumer-pc"

cmake -S "$here" -B "$out/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$out/cmake" >/dev/null
"$out/cmake/consumer"

# Exactly the header's functions, and no C++ or runtime symbol.
if nm -D --defined-only "$prefix"/lib*/libsyslib.so | awk '$2 == "T" {print $3}' | grep -v '^tq_'; then
  echo "libsyslib exports symbols that are not the header's" >&2
  exit 1
fi
echo "consumers built against $prefix: ok"
