#!/usr/bin/env bash
# docs/tqsys.md is the manual page tqsys(1) as Markdown: edit the page,
# then run this. With --check, fails when the Markdown is not the page's.
set -euo pipefail
cd "$(dirname "$0")/.."
page=docs/man/man1/tqsys.1
render() {
  printf '<!-- Made from %s by scripts/docs.sh: edit the page, not this. -->\n\n' "$page"
  mandoc -T markdown "$page"
}
if [ "${1:-}" = --check ]; then
  diff -u docs/tqsys.md <(render) >&2 || { echo "docs/tqsys.md is not $page: run scripts/docs.sh" >&2; exit 1; }
else
  render > docs/tqsys.md
fi
