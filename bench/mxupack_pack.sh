#!/bin/sh
# Measures mxupack publish's packing: a release with one 600 MB file that
# does not compress (target: well under a minute), and a mixed release
# (programs and libraries, text, content that does not compress, a few
# thousand small files) next to gzip -6 over the same bytes with one process
# per core, each on its share (target: at least 0.8 of gzip's speed). Peak
# memory of each publish from /usr/bin/time.
#   bench/mxupack_pack.sh [BUILD_DIR [WORK_FOLDER]]
#       (default: build/posix, not sanitized; a temporary folder)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/posix}
. "$source_dir/bench/plain_build.sh"
plain_build "$build_dir" mxupack voxa_demo_105
mxupack=$build_dir/mxupack
cores=$(nproc)

work=$(mktemp -d "${2:-${TMPDIR:-/tmp}}/mxupack-pack.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# seconds COMMAND...: runs it and prints the seconds it took (two decimals).
seconds() {
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  echo "$start $end" | awk '{ printf "%.2f", $2 - $1 }'
}

# publish NAME RELEASE: publishes into a new server folder, prints seconds
# and peak memory.
publish() {
  mkdir -p "$work/$1"
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/$1.kib" \
    "$mxupack" publish "$work/$1" "$2" --servers http://127.0.0.1/ >/dev/null
  end=$(date +%s.%N)
  echo "$start $end" | awk '{ printf "%.2f", $2 - $1 }'
}

mb() { du -cm "$@" | tail -1 | cut -f1; }

echo "== one 600 MB file that does not compress"
mkdir -p "$work/big"
cp "$build_dir/demo/voxa-1.05/VOXA.exe" "$work/big/"
head -c 600000000 /dev/urandom >"$work/big/Movie.bin"
sync
t=$(publish big-server "$work/big")
echo "mxupack publish: $t s, $(mb "$work/big-server"/*.mxu) MB of packages," \
  "peak $(( $(cat "$work/big-server.kib") / 1024 )) MiB"

echo "== a mixed release"
mixed=$work/mixed
mkdir -p "$mixed/Bin" "$mixed/Text" "$mixed/Media" "$mixed/Include"
cp "$build_dir/demo/voxa-1.05/VOXA.exe" "$mixed/"
# Programs and libraries: 150 MB of the system's own (numbered: names that
# differ only in letter case would be refused).
n=0
find /usr/lib /usr/bin -type f -size +100k 2>/dev/null | sort | while read -r file; do
  [ "$(du -sm "$mixed/Bin" | cut -f1)" -ge 150 ] && break
  n=$((n + 1))
  cp "$file" "$mixed/Bin/$n-$(basename "$file")" 2>/dev/null || true
done
# Text: 100 MB of log and table lines.
awk 'BEGIN { srand(7); for (i = 0; i < 1500000; i++)
  printf "%08d 2024-05-%02d %02d:%02d:%02d level=%s user=%d took %d ms path=/a/b/%d\n",
    i, i % 28 + 1, i % 24, i % 60, (i * 7) % 60, (i % 5 ? "info" : "warn"), int(rand() * 1000),
    int(rand() * 5000), i % 997 }' >"$mixed/Text/app.log"
# Content that does not compress: 100 MB in files of 5 MB.
for i in $(seq 1 20); do head -c 5000000 /dev/urandom >"$mixed/Media/clip$i.bin"; done
# Many small files: the system's headers, up to 3,000.
n=0
find /usr/include -type f -name '*.h' | sort | head -3000 | while read -r file; do
  n=$((n + 1))
  cp "$file" "$mixed/Include/$n-$(basename "$file")"
done
files=$(find "$mixed" -type f | wc -l)
sync
t_mx=$(publish mixed-server "$mixed")
mx_mb=$(mb "$work/mixed-server"/*.mxu)
echo "mxupack publish: $t_mx s for $(mb "$mixed") MB in $files files, $mx_mb MB of packages," \
  "peak $(( $(cat "$work/mixed-server.kib") / 1024 )) MiB"

# gzip -6 over the same bytes, one process per core on its share, each
# writing its file.
find "$mixed" -type f | sort | xargs cat >"$work/all.bin"
total=$(stat -c %s "$work/all.bin")
share=$(( (total + cores - 1) / cores ))
split -b "$share" -d "$work/all.bin" "$work/share."
rm "$work/all.bin"
sync
gzip_all() {
  for part in "$work"/share.*; do gzip -6 -c "$part" >"$part.gz" & done
  wait
}
t_gz=$(seconds gzip_all)
gz_mb=$(mb "$work"/share.*.gz)
echo "gzip -6 x $cores: $t_gz s, $gz_mb MB"
echo "$t_gz $t_mx" | awk '{ printf "mxupack at %.2f of gzip -6'"'"'s speed (target: at least 0.80)\n", $1 / $2 }'
