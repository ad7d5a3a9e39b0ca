#!/usr/bin/env bash
# Compares zor-symbolize with the peer symbolizers of this machine on real binaries: wall
# time and peak resident memory for the same list of addresses, read through standard input,
# with inlined frames.
#
#   bench/compare_all.sh [-n FUNCTIONS] [-b BUILD_DIR] [-w WORK_DIR] [-r RUNS] [-B BASE_DIR]
#                        [-o BINARIES] [-x PEERS] [-S] [-P]
#
#   -n  functions of the generated program (default 4320), one translation unit per 120
#   -b  build directory holding zor-symbolize (default build)
#   -w  work directory for sources, programs, lists and outputs (default bench/work)
#   -r  runs per tool and binary; the table shows the median (default 3)
#   -B  another build directory: its zor-symbolize answers the same lists once and the
#       script reports whether both answers are byte-for-byte the same
#   -o  comma-separated subset of: program,libc,libasan,cargo,docker (default: all present)
#   -x  comma-separated peers to leave out, e.g. eu-addr2line (minutes per binary)
#   -S  skip the 1k..1M address scaling runs on the generated program
#   -P  scaling runs for the peers as well (one run each; slow)
#
# The binaries: a generated C++ program (g++ -O2 -gdwarf-5; every function calls inline
# helper chains six deep spread over shared headers, so most addresses sit in inlined
# code), the machine's libc.so.6 (its debug file sits under /usr/lib/debug/.build-id; tools
# that search by build id find it), libasan.so, rustup's cargo and docker when present.
# Per binary the list holds every function start (symbol table, else dynamic symbols) and
# 50,000 random addresses in executable sections, fixed seed.
#
# Tools: zor-symbolize --inlines --output-style=JSON, llvm-symbolizer-14 --inlines
# --output-style=JSON, addr2line -f -i -C -a and eu-addr2line -f -i -C -a (Debian packages
# llvm-14, binutils, elfutils; /usr/bin/time from the package time).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
functions=4320
build="build"
work="$here/work"
runs=3
base=""
only=""
scaling=1
peer_scaling=0

without=""
while getopts "n:b:w:r:B:o:x:SPh" opt; do
  case "$opt" in
    n) functions="$OPTARG" ;;
    b) build="$OPTARG" ;;
    w) work="$OPTARG" ;;
    r) runs="$OPTARG" ;;
    B) base="$OPTARG" ;;
    o) only="$OPTARG" ;;
    S) scaling=0 ;;
    P) peer_scaling=1 ;;
    x) without="$OPTARG" ;;
    *) sed -n '2,29p' "$0"; exit 2 ;;
  esac
done
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
build="$(absolute "$build")"
work="$(absolute "$work")"
[ -z "$base" ] || base="$(absolute "$base")"

symbolize="$build/zor-symbolize"
missing=0
for tool in g++ nm readelf python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "missing: $tool" >&2
    missing=1
  fi
done
if [ ! -x /usr/bin/time ]; then
  echo "missing: /usr/bin/time (apt-get install time)" >&2
  missing=1
fi
if [ ! -x "$symbolize" ]; then
  echo "missing: $symbolize (build the zor-symbolize target, or pass -b BUILD_DIR)" >&2
  missing=1
fi
if [ -n "$base" ] && [ ! -x "$base/zor-symbolize" ]; then
  echo "missing: $base/zor-symbolize" >&2
  missing=1
fi
[ "$missing" = 0 ] || exit 1

# Peers that are not installed are left out of the table, with a note.
peers=()
left_out() { [[ ",$without," == *",$1,"* ]]; }
for peer in llvm-symbolizer-14:llvm-14 addr2line:binutils eu-addr2line:elfutils; do
  tool="${peer%%:*}"
  left_out "$tool" && continue
  command -v "$tool" >/dev/null 2>&1 && peers+=("$tool") ||
    echo "note: $tool not installed (package ${peer##*:})" >&2
done

mkdir -p "$work/lists" "$work/out"

# ---------------------------------------------------------------------------------------
# The generated program. Headers h0..h7 hold inline helper chains (each level calls the
# level below, in the next header); units u*.cpp hold the functions that use them. The
# sources are rewritten and rebuilt only when the generator or its size changes.
gen="$work/gen"
stamp="generator-v3 functions=$functions"
program="$gen/program"
if [ ! -x "$program" ] || [ "$(cat "$gen/stamp" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$gen"
  mkdir -p "$gen/src" "$gen/obj"
  python3 - "$gen/src" "$functions" <<'PY'
import os, sys
src, total = sys.argv[1], int(sys.argv[2])
levels, per_unit, helpers, records = 6, 120, 48, 4000
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
# Types every unit describes, as the headers of a real C++ program do: entries the reader
# must step over on its way to the functions.
with open(os.path.join(src, "records.h"), "w") as h:
    h.write("#pragma once\nnamespace bench {\nnamespace records {\n")
    for t in range(records):
        h.write("struct Record%d {\n" % t)
        for m in range(12):
            h.write("  %s field%d_%d;\n" % (["int", "long", "double", "const char*"][m % 4], t, m))
        h.write("  int method%d(int v) const;\n};\n" % t)
    h.write("}  // namespace records\n}  // namespace bench\n")
units = (total + per_unit - 1) // per_unit
for u in range(units):
    with open(os.path.join(src, "u%d.cpp" % u), "w") as f:
        f.write('#include "h0.h"\n#include "records.h"\nnamespace bench {\nnamespace u%d {\n' % u)
        for i in range(u * per_unit, min(total, (u + 1) * per_unit)):
            a, b = i % helpers, (i * 7 + 3) % helpers
            f.write("__attribute__((noinline)) int fn%d(int x) {\n"
                    "  int s = step0_%d(x);\n"
                    "  for (int k = 0; k < (x & 3); ++k) s += step0_%d(s + k);\n"
                    "  return s;\n}\n" % (i, a, b))
        f.write("}  // namespace u%d\n}  // namespace bench\n" % u)
with open(os.path.join(src, "main.cpp"), "w") as f:
    f.write("namespace bench {\n")
    for u in range(units):
        f.write("namespace u%d {\n" % u)
        for i in range(u * per_unit, min(total, (u + 1) * per_unit)):
            f.write("int fn%d(int);\n" % i)
        f.write("}\n")
    f.write("}\nint main(int argc, char**) {\n  int s = 0;\n")
    for i in range(total):
        f.write("  s += bench::u%d::fn%d(argc + s);\n" % (i // per_unit, i))
    f.write("  return s & 1;\n}\n")
PY
  echo "building the generated program ($functions functions) in $gen ..." >&2
  # Two compilers at a time: enough on a small machine.
  printf '%s\n' "$gen"/src/*.cpp | xargs -P 2 -I{} sh -c \
    'g++ -O2 -gdwarf-5 -fno-eliminate-unused-debug-types -c "$1" -o "$2/obj/$(basename "$1" .cpp).o"' _ {} "$gen"
  g++ -O2 -gdwarf-5 "$gen"/obj/*.o -o "$program"
  echo "$stamp" > "$gen/stamp"
fi

# ---------------------------------------------------------------------------------------
# The binaries present on this machine.
names=()
paths=()
want() { [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]; }
add() {  # name, path
  if [ -n "$2" ] && [ -f "$2" ]; then
    names+=("$1")
    paths+=("$(readlink -f "$2")")
  else
    echo "note: $1 not found, left out" >&2
  fi
}
want program && add program "$program"
if want libc; then
  libc="$(gcc -print-file-name=libc.so.6 2>/dev/null || true)"
  [ -f "$libc" ] || libc="$(ldconfig -p | awk '/libc\.so\.6 .*x86-64/ {print $NF; exit}')"
  add libc "$libc"
fi
if want libasan; then
  asan="$(gcc -print-file-name=libasan.so 2>/dev/null || true)"
  add libasan "$asan"
fi
if want cargo; then
  cargo=""
  if command -v rustup >/dev/null 2>&1; then cargo="$(rustup which cargo 2>/dev/null || true)"; fi
  [ -n "$cargo" ] || cargo="$(command -v cargo || true)"
  add cargo "$cargo"
fi
if want docker; then
  add docker "$(command -v docker || true)"
fi

# Describes the debug information each binary carries, or where it lives.
debug_note() {  # path
  local bytes id
  bytes=$(readelf -SW "$1" | python3 -c '
import re, sys
total = 0
for line in sys.stdin:
    m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+\S+\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", line)
    if m and m.group(1).startswith((".debug", ".zdebug")):
        total += int(m.group(2), 16)
print(total)')
  if [ "$bytes" -gt 0 ]; then
    echo "$((bytes / 1000000)) MB of DWARF in the file"
    return
  fi
  id=$(readelf -n "$1" 2>/dev/null | awk '/Build ID/ {print $3; exit}')
  if [ -n "$id" ] && [ -f "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ]; then
    echo "no DWARF in the file; debug file /usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug"
  else
    echo "no DWARF in the file, no debug file"
  fi
}

# Address list: every function start, then 50,000 random addresses in executable sections
# (fixed seed). `count` > 0 replaces that by exactly `count` addresses: the starts first, then
# random ones.
write_list() {  # path, out, count
  local path="$1" out="$2" count="$3"
  {
    nm --defined-only "$path" 2>/dev/null | awk '$2 ~ /^[tTwWiI]$/ {print $1}'
    nm -D --defined-only "$path" 2>/dev/null | awk '$2 ~ /^[tTwWiI]$/ {print $1}'
  } | sort -u > "$out.starts"
  readelf -SW "$path" | python3 -c '
import re, sys
for line in sys.stdin:
    m = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+\S+\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+\S+\s+(\S*X\S*)\s", line)
    if m and int(m.group(2), 16) and int(m.group(3), 16):
        print(m.group(2), m.group(3))
' > "$out.sections"
  python3 - "$out.starts" "$out.sections" "$out" "$count" <<'PY'
import random, sys
starts_path, sections_path, out, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
starts = ["0x" + l.strip().lstrip("0") if l.strip().lstrip("0") else "0x0" for l in open(starts_path) if l.strip()]
sections = [tuple(int(v, 16) for v in l.split()) for l in open(sections_path) if l.strip()]
total = sum(size for _, size in sections)
rng = random.Random(20260101)
def random_address():
    at = rng.randrange(total)
    for base, size in sections:
        if at < size:
            return "0x%x" % (base + at)
        at -= size
if count <= 0:
    lines = starts + [random_address() for _ in range(50000)]
else:
    lines = starts[:count]
    while len(lines) < count:
        lines.append(random_address())
open(out, "w").write("\n".join(lines) + "\n")
PY
  rm -f "$out.starts" "$out.sections"
}

# Runs one command `runs` times on a list; prints "median-seconds peak-MB" (the peak is the
# median of the runs' peaks too). The first run's output is kept. A run longer than
# `slow` seconds is not repeated: its figures are printed with a "*".
slow=60
measure() {  # list, out, runs, command...
  local list="$1" out="$2" n="$3"
  shift 3
  local results=() mark=""
  for ((i = 0; i < n; ++i)); do
    local target=/dev/null
    [ "$i" = 0 ] && target="$out"
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" < "$list" > "$target" 2>/dev/null || true
    results+=("$(tail -1 "$work/time.txt")")
    if python3 -c "import sys; sys.exit(0 if float('$(tail -1 "$work/time.txt" | cut -d' ' -f1)') > $slow else 1)"; then
      [ "$n" -gt 1 ] && mark="*"
      break
    fi
  done
  printf '%s\n' "${results[@]}" | python3 -c '
import statistics, sys
rows = [l.split() for l in sys.stdin if l.strip()]
print("%.2f%s %.0f" % (statistics.median(float(r[0]) for r in rows), sys.argv[1], statistics.median(float(r[1]) for r in rows) / 1024))' "$mark"
}
seconds() { echo "${1%\*}"; }

command_for() {  # tool, path -> the command line as words in the array `cmd`
  case "$1" in
    zor-symbolize) cmd=("$symbolize" --inlines --output-style=JSON --obj="$2") ;;
    zor-base) cmd=("$base/zor-symbolize" --inlines --output-style=JSON --obj="$2") ;;
    llvm-symbolizer-14) cmd=(llvm-symbolizer-14 --inlines --output-style=JSON --obj="$2") ;;
    addr2line) cmd=(addr2line -f -i -C -a -e "$2") ;;
    eu-addr2line) cmd=(eu-addr2line -f -i -C -a -e "$2") ;;
  esac
}

echo
echo "runs per tool: $runs (median; * = one run, longer than ${slow} s); wall time in seconds, peak resident memory in MB"
printf '%-9s %9s  %-20s %9s %9s %9s\n' binary addresses tool "wall(s)" "peak(MB)" "vs zor"
same_all=1
declare -A load_s per_us
for idx in "${!names[@]}"; do
  name="${names[$idx]}"
  path="${paths[$idx]}"
  list="$work/lists/$name.txt"
  write_list "$path" "$list" 0
  count=$(wc -l < "$list")
  echo "# $name: $path ($(debug_note "$path"))"
  read -r zs zm < <(command_for zor-symbolize "$path"; measure "$list" "$work/out/$name.zor.json" "$runs" "${cmd[@]}")
  printf '%-9s %9s  %-20s %9s %9s %9s\n' "$name" "$count" zor-symbolize "$zs" "$zm" ""
  for tool in "${peers[@]}"; do
    read -r s m < <(command_for "$tool" "$path"; measure "$list" "$work/out/$name.$tool.txt" "$runs" "${cmd[@]}")
    ratio=$(python3 -c "print('%.1fx' % ($(seconds "$s") / max($(seconds "$zs"), 0.01)))")
    printf '%-9s %9s  %-20s %9s %9s %9s\n' "$name" "$count" "$tool" "$s" "$m" "$ratio"
  done
  # Load time: one address; per-address cost: the rest of the full run's time.
  head -1 "$list" > "$work/lists/$name.one.txt"
  read -r ls lm < <(command_for zor-symbolize "$path"; measure "$work/lists/$name.one.txt" /dev/null "$runs" "${cmd[@]}")
  load_s[$name]="$ls"
  per_us[$name]=$(python3 -c "print('%.1f' % (max($(seconds "$zs") - $(seconds "$ls"), 0) * 1e6 / $count))")
  if [ -n "$base" ]; then
    command_for zor-base "$path"
    "${cmd[@]}" < "$list" > "$work/out/$name.base.json" 2>/dev/null || true
    if cmp -s "$work/out/$name.base.json" "$work/out/$name.zor.json"; then
      echo "  answers identical to $base/zor-symbolize"
    else
      echo "  ANSWERS DIFFER from $base/zor-symbolize (see $work/out/$name.{base,zor}.json)"
      same_all=0
    fi
  fi
done

echo
echo "zor-symbolize: load (one address) and per-address cost (full list minus load)"
printf '%-9s %12s %16s\n' binary "load(s)" "per address(us)"
for name in "${names[@]}"; do
  printf '%-9s %12s %16s\n' "$name" "${load_s[$name]}" "${per_us[$name]}"
done

if [ "$scaling" = 1 ] && [[ " ${names[*]} " == *" program "* ]]; then
  echo
  echo "scaling on the generated program (zor: median of $runs runs up to 100,000 addresses; otherwise one run)"
  tools=(zor-symbolize)
  [ "$peer_scaling" = 1 ] && tools+=("${peers[@]}")
  printf '%-20s %9s %9s %9s %16s\n' tool addresses "wall(s)" "peak(MB)" "per address(us)"
  for n in 1000 10000 100000 1000000; do
    list="$work/lists/program.$n.txt"
    write_list "$program" "$list" "$n"
    for tool in "${tools[@]}"; do
      r=1
      [ "$tool" = zor-symbolize ] && [ "$n" -le 100000 ] && r="$runs"
      read -r s m < <(command_for "$tool" "$program"; measure "$list" "$work/out/program.$n.$tool.txt" "$r" "${cmd[@]}")
      load=0
      [ "$tool" = zor-symbolize ] && load="${load_s[program]:-0}"
      printf '%-20s %9s %9s %9s %16s\n' "$tool" "$n" "$s" "$m" \
        "$(python3 -c "print('%.2f' % (max($(seconds "$s") - $(seconds "$load"), 0) * 1e6 / $n))")"
    done
    if [ -n "$base" ]; then
      command_for zor-base "$program"
      "${cmd[@]}" < "$list" > "$work/out/program.$n.base.json" 2>/dev/null || true
      if ! cmp -s "$work/out/program.$n.base.json" "$work/out/program.$n.zor-symbolize.txt"; then
        echo "  ANSWERS DIFFER from $base/zor-symbolize on $n addresses"
        same_all=0
      fi
    fi
  done
fi

if [ -n "$base" ]; then
  echo
  [ "$same_all" = 1 ] && echo "all answers byte-for-byte identical to $base/zor-symbolize" ||
    { echo "some answers differ from $base/zor-symbolize"; exit 1; }
fi
