#!/bin/sh
# Measures delta packages on consecutive releases of public Windows programs
# from the npm registry: a 10 MB-class executable (@esbuild/win32-x64), a
# 100 MB-class one (@oven/bun-windows-x64) and a release of many small text
# files (typescript). For each pair: the delta's bytes as a share of the full
# zlib package (targets: large executable at most 10%, many-file text at most
# 1%), the time of publishing the new release with its delta (target: the
# 100 MB-class delta within a minute), applying the delta with Updater.exe
# -onlyapply over the old release (target: at least 100 MB/s of output, peak
# memory at most 64 MiB + twice the largest patched file), and applying the
# new release's full package as Zstandard next to zlib, on the work folder's
# disk and in /dev/shm (target: 3 times as fast, and not larger).
#   bench/mxupack_deltas.sh [BUILD_DIR [WORK_FOLDER [PAIRS]]]
#       (default: build/posix, not sanitized; /tmp/mxupack-deltas, where the
#       npm packages stay for the next run; "esbuild bun typescript")
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/posix}
. "$source_dir/bench/plain_build.sh"
plain_build "$build_dir" mxupack Updater voxa_demo_100 voxa_demo_105
mxupack=$build_dir/mxupack
updater=$build_dir/Updater.exe
[ -x "$updater" ] || updater=$(find "$build_dir" -maxdepth 2 -name Updater.exe -type f | head -1)

work=${2:-${TMPDIR:-/tmp}/mxupack-deltas}
case "$work" in "$source_dir"*) echo "the work folder must lie outside the repository" >&2; exit 2 ;; esac
mkdir -p "$work/npm"

# fetch NAME VERSION: the package's tarball in the work folder, once.
fetch() {
  file=$work/npm/$(echo "$1" | tr -d @ | tr / -)-$2.tgz
  if [ ! -f "$file" ]; then
    (cd "$work/npm" && npm pack --silent "$1@$2" >/dev/null)
    mv "$work/npm/$(echo "$1" | tr -d @ | tr / -)-$2.tgz" "$file" 2>/dev/null || true
  fi
  echo "$file"
}

# release FOLDER TARBALL DEMO_VERSION: the npm package's files with the demo
# VOXA.exe of that version at the top (publish reads the version from it).
release() {
  rm -rf "$1" && mkdir -p "$1"
  tar -xzf "$2" -C "$1"
  cp "$build_dir/demo/voxa-$3/VOXA.exe" "$1/"
}

size() { stat -c %s "$1"; }
# stamp: the clock in seconds with fractions.
stamp() { date +%s.%N; }
diff_s() { echo "$1 $2" | awk '{ printf "%.2f", $2 - $1 }'; }
min() { echo "$1 $2" | awk '{ print ($1 < $2 ? $1 : $2) }'; }
# Each apply is taken this many times and the fastest counts: other work on
# the machine only ever slows a run down.
rounds=3
# peak FILE: the maximum resident set size that /usr/bin/time -v wrote, MiB.
peak() { awk -F: '/Maximum resident/ { printf "%.1f", $2 / 1024 }' "$1"; }

# apply PROGRAM_FOLDER: Updater.exe -onlyapply there; prints seconds, and
# leaves the peak memory in PROGRAM_FOLDER.time.
apply() {
  cp "$updater" "$1/Updater.exe"
  sync
  start=$(stamp)
  /usr/bin/time -v -o "$1.time" "$1/Updater.exe" -dontask -onlyapply >"$1.out" 2>&1 ||
    { cat "$1.out" >&2; exit 1; }
  diff_s "$start" "$(stamp)"
}

# bench LABEL NAME OLD NEW: one pair of releases.
bench() {
  label=$1 name=$2 old=$3 new=$4
  dir=$work/$label
  rm -rf "$dir" && mkdir -p "$dir"
  echo "== $label: $name $old -> $new"
  release "$dir/old" "$(fetch "$name" "$old")" 1.00
  release "$dir/new" "$(fetch "$name" "$new")" 1.05
  mkdir -p "$dir/server" "$dir/zstd"
  "$mxupack" publish "$dir/server" "$dir/old" --servers http://127.0.0.1/ --deltas 0 >/dev/null
  sync
  start=$(stamp)
  /usr/bin/time -v -o "$dir/publish.time" "$mxupack" publish "$dir/server" "$dir/new" >/dev/null
  t_publish=$(diff_s "$start" "$(stamp)")
  full=$dir/server/VOXA-1.05.mxu
  delta=$dir/server/VOXA-1.05-from-1.00.mxu
  "$mxupack" list "$delta" >"$dir/delta.list"
  echo "$(du -sm "$dir/new" | cut -f1) MB in $(find "$dir/new" -type f | wc -l) files;" \
    "full zlib package $(size "$full") bytes, delta $(size "$delta") bytes:" \
    "$(echo "$(size "$delta") $(size "$full")" | awk '{ printf "%.2f%%", 100 * $1 / $2 }')"
  awk -F'\t' 'NR > 2 { n[$2]++ } END { for (m in n) printf "  %d %s entries\n", n[m], m }' \
    "$dir/delta.list"
  echo "publish of the new release with its delta: $t_publish s," \
    "peak $(peak "$dir/publish.time") MiB"

  # The delta over the old release.
  t=999999
  for round in $(seq $rounds); do
    rm -rf "$dir/program" && cp -r "$dir/old" "$dir/program" && mkdir -p "$dir/program/Update"
    cp "$delta" "$dir/program/Update/"
    t=$(min "$t" "$(apply "$dir/program")")
  done
  out=$(awk -F'\t' 'NR > 2 { s += $4 } END { print s }' "$dir/delta.list")
  largest=$(awk -F'\t' 'NR > 2 && $2 == "patch" && $4 > m { m = $4 } END { print m + 0 }' \
    "$dir/delta.list")
  diff -r "$dir/new" "$dir/program" -x Update -x Updater.exe >/dev/null ||
    { echo "the delta did not make the new release" >&2; exit 1; }
  echo "apply of the delta: $t s, $(echo "$out $t" | awk '{ printf "%.0f", $1 / 1e6 / $2 }') MB/s" \
    "of output, peak $(peak "$dir/program.time") MiB (target at most" \
    "$(echo "$largest" | awk '{ printf "%.0f", 64 + 2 * $1 / 1048576 }') MiB)"

  # The full package as Zstandard next to zlib, on disk and in memory.
  "$mxupack" publish "$dir/zstd" "$dir/new" --servers http://127.0.0.1/ --method zstd >/dev/null
  echo "full package: zlib $(size "$full") bytes, zstd $(size "$dir/zstd/VOXA-1.05.mxu") bytes"
  for place in "$dir" /dev/shm; do
    t_zlib=999999 t_zstd=999999
    for round in $(seq $rounds); do
      for method in zlib zstd; do
        program=$place/mxupack-deltas-$method
        rm -rf "$program" && mkdir -p "$program/Update"
        if [ "$method" = zlib ]; then cp "$full" "$program/Update/"; else
          cp "$dir/zstd/VOXA-1.05.mxu" "$program/Update/"; fi
        t=$(apply "$program")
        if [ "$method" = zlib ]; then t_zlib=$(min "$t_zlib" "$t"); else
          t_zstd=$(min "$t_zstd" "$t"); fi
        rm -rf "$program" "$program.time" "$program.out"
      done
    done
    echo "apply of the full package in $place: zlib $t_zlib s, zstd $t_zstd s" \
      "($(echo "$t_zlib $t_zstd" | awk '{ printf "%.2f", $1 / $2 }') times as fast)"
  done
  rm -rf "$dir/program"
}

for pair in ${3:-esbuild bun typescript}; do
  case $pair in
    esbuild) bench esbuild @esbuild/win32-x64 0.19.11 0.19.12 ;;
    bun) bench bun @oven/bun-windows-x64 1.1.37 1.1.38 ;;
    typescript) bench typescript typescript 5.4.4 5.4.5 ;;
    *) echo "unknown pair: $pair" >&2; exit 2 ;;
  esac
done
