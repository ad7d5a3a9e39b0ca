#!/usr/bin/env bash
# Compares zor-symbolize with llvm-symbolizer-14 and addr2line on one large generated C++
# program: wall time and peak resident memory for the same list of addresses, read through
# standard input, with inlined frames.
#
#   bench/compare_symbolizers.sh [-n FUNCTIONS] [-a ADDRESSES] [-b BUILD_DIR] [-w WORK_DIR]
#
#   -n  functions to generate (default 2000), spread over one translation unit per 100
#   -a  addresses to look up (default 100000): every function start, then random addresses
#       in .text (fixed seed)
#   -b  build directory holding zor-symbolize (default build)
#   -w  work directory for sources, program and outputs (default bench/work)
#
# The program is built with g++ -O2 -gdwarf-3 -gstrict-dwarf; every function calls a chain of
# inline helpers six deep, spread over shared headers, so most addresses sit in inlined code.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
functions=2000
addresses=100000
build="build"
work="$here/work"

while getopts "n:a:b:w:h" opt; do
  case "$opt" in
    n) functions="$OPTARG" ;;
    a) addresses="$OPTARG" ;;
    b) build="$OPTARG" ;;
    w) work="$OPTARG" ;;
    *) sed -n '2,16p' "$0"; exit 2 ;;
  esac
done
case "$build" in /*) ;; *) build="$root/$build" ;; esac

symbolize="$build/zor-symbolize"
missing=0
for tool in g++ nm readelf python3 llvm-symbolizer-14 addr2line; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "missing: $tool" >&2
    missing=1
  fi
done
if [ ! -x /usr/bin/time ]; then
  echo "missing: /usr/bin/time (install the 'time' package, e.g. apt-get install time)" >&2
  missing=1
fi
if [ ! -x "$symbolize" ]; then
  echo "missing: $symbolize (build the zor-symbolize target, or pass -b BUILD_DIR)" >&2
  missing=1
fi
[ "$missing" = 0 ] || exit 1

src="$work/src"
rm -rf "$src"
mkdir -p "$src" "$work/obj"

# Sources: headers h0..h5 hold inline helper chains (each level calls the level below in
# another header), units u*.cpp hold the functions that use them.
python3 - "$src" "$functions" <<'PY'
import os, sys
src, total = sys.argv[1], int(sys.argv[2])
levels, per_unit, helpers = 6, 100, 40
for level in range(levels):
    with open(os.path.join(src, "h%d.h" % level), "w") as h:
        h.write("#pragma once\n")
        if level + 1 < levels:
            h.write('#include "h%d.h"\n' % (level + 1))
        h.write("namespace bench {\n")
        for k in range(helpers):
            if level + 1 < levels:
                body = ("  int r = x * %d + %d;\n"
                        "  if (r & 1) r = step%d_%d(r ^ %d);\n"
                        "  else r = step%d_%d(r + %d);\n"
                        "  return r - (r >> 3);\n") % (level + 3, k, level + 1, k, k + 1,
                                                      level + 1, (k + 1) % helpers, level)
            else:
                body = "  return (x << 2) ^ (x >> %d) ^ %d;\n" % (k % 7 + 1, k)
            h.write("inline __attribute__((always_inline)) int step%d_%d(int x) {\n%s}\n" % (level, k, body))
        h.write("}  // namespace bench\n")
units = (total + per_unit - 1) // per_unit
for u in range(units):
    with open(os.path.join(src, "u%d.cpp" % u), "w") as f:
        f.write('#include "h0.h"\nnamespace bench {\n')
        for i in range(u * per_unit, min(total, (u + 1) * per_unit)):
            a, b = i % helpers, (i * 7 + 3) % helpers
            f.write("__attribute__((noinline)) int fn%d(int x) {\n"
                    "  int s = step0_%d(x);\n"
                    "  for (int k = 0; k < (x & 3); ++k) s += step0_%d(s + k);\n"
                    "  return s;\n}\n" % (i, a, b))
        f.write("}  // namespace bench\n")
with open(os.path.join(src, "main.cpp"), "w") as f:
    f.write("namespace bench {\n")
    for i in range(total):
        f.write("int fn%d(int);\n" % i)
    f.write("}\nint main(int argc, char**) {\n  int s = 0;\n")
    for i in range(total):
        f.write("  s += bench::fn%d(argc + s);\n" % i)
    f.write("  return s & 1;\n}\n")
PY

echo "building $functions functions in $work ..." >&2
objs=()
for cpp in "$src"/*.cpp; do
  obj="$work/obj/$(basename "${cpp%.cpp}").o"
  objs+=("$obj")
done
# Two compilers at a time: enough on a small machine.
printf '%s\n' "$src"/*.cpp | xargs -P 2 -I{} sh -c \
  'g++ -O2 -gdwarf-3 -gstrict-dwarf -c "$1" -o "$2/obj/$(basename "$1" .cpp).o"' _ {} "$work"
program="$work/program"
g++ -O2 -gdwarf-3 -gstrict-dwarf "${objs[@]}" -o "$program"

# Addresses: every function start, then random ones in .text, fixed seed.
list="$work/addresses.txt"
read -r text_addr text_size < <(readelf -SW "$program" | awk '$2 == ".text" {print $4, $6} $3 == ".text" {print $5, $7}' | head -1)
nm --defined-only "$program" | awk '$2 ~ /^[tTwW]$/ {print "0x" $1}' | sort -u > "$work/starts.txt"
python3 - "$work/starts.txt" "$list" "$addresses" "$text_addr" "$text_size" <<'PY'
import random, sys
starts, out, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
base, size = int(sys.argv[4], 16), int(sys.argv[5], 16)
lines = [l.strip() for l in open(starts) if l.strip()][:count]
rng = random.Random(20260101)
while len(lines) < count:
    lines.append("0x%x" % (base + rng.randrange(size)))
open(out, "w").write("\n".join(lines) + "\n")
PY
echo "$(wc -l < "$list") addresses, $(wc -l < "$work/starts.txt") function starts" >&2

measure() {  # name, output file, command...
  local name="$1" out="$2"
  shift 2
  /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" < "$list" > "$out"
  read -r seconds kb < "$work/time.txt"
  printf '%-20s %10s %14s\n' "$name" "$seconds" "$kb"
}

echo
printf '%-20s %10s %14s\n' "tool" "wall (s)" "peak RSS (KB)"
measure zor-symbolize "$work/zor.json" "$symbolize" --inlines --output-style=JSON --obj="$program"
measure llvm-symbolizer-14 "$work/llvm.json" llvm-symbolizer-14 --inlines --output-style=JSON --obj="$program"
measure addr2line "$work/addr2line.txt" addr2line -f -i -C -a -e "$program"

if cmp -s "$work/zor.json" "$work/llvm.json"; then
  echo "zor-symbolize and llvm-symbolizer-14 answers are identical"
else
  same=$(paste -d '\n' "$work/zor.json" "$work/llvm.json" | paste - - | awk -F '\t' '$1 == $2' | wc -l)
  echo "zor-symbolize and llvm-symbolizer-14 agree on $same of $(wc -l < "$list") addresses"
fi
