#!/bin/sh
# A short tour of the tools on the bundled sample program: what the library reads from the
# module, then every function start (as nm lists them) and a few addresses inside functions
# turned back into names and source locations.
#
#   scripts/demo.sh BUILD_DIR
set -eu

build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
module="$here/tests/fixtures/sample/demo"
[ -f "$module" ] || module="$here/tests/fixtures/elf/hello_pie"
dump="$build/zor-dump"
symbolize="$build/zor-symbolize"
for tool in "$dump" "$symbolize"; do
  [ -x "$tool" ] || { echo "demo: $tool is not built (run 'make build' first)" >&2; exit 1; }
done

title() { printf '\n=== %s\n\n' "$*"; }

title "zor-dump --no-symbols --section .text $(basename "$module")"
"$dump" --no-symbols --section .text "$module"

title "the functions of the module, in address order (zor-dump --kinds=1)"
"$dump" --kinds=1 "$module" | sed -n '/^symbols$/,$p' | head -n 25

# Function starts as nm sees them (start-up code left out), and a point inside each.
starts=$(nm -n --defined-only "$module" 2>/dev/null | 
  awk '$2 ~ /^[Tt]$/ && $3 !~ /^(deregister_tm_clones|register_tm_clones|frame_dummy)$/ && ($3 !~ /^_/ || $3 ~ /^_Z/) { print "0x" $1 }' |
  uniq | head -n 8)
if [ -n "$starts" ]; then
  title "zor-symbolize -a --obj=$(basename "$module") <function starts>"
  # shellcheck disable=SC2086
  "$symbolize" -a --obj="$module" $starts

  title "zor-symbolize --output-style=GNU, addresses read from standard input"
  for a in $starts; do printf '0x%x\n' $((a + 4)); done | "$symbolize" --output-style=GNU -a --obj="$module"

  first=$(echo "$starts" | head -n 1)
  title "zor-symbolize --output-style=JSON $first"
  "$symbolize" --output-style=JSON --obj="$module" "$first"
fi

title "a module that cannot be loaded"
"$symbolize" --obj=/no/such/module 0x1000 || echo "(exit status $?)"
