#!/bin/sh
# Applying a large zlib package with the Windows program under Wine, held
# against the fair limit: the same package decoded straight into its files by
# a MinGW program under Wine (inflate_to_file.exe). The native program and
# Wine's own start are shown beside them. Not a test; run by hand on an idle
# machine after scripts/build:
#   bench/wine_apply.sh [WORK_FOLDER]    (default /tmp/voxa-wine-bench)
# About 570 MB of files in about 200 MB of package; each figure is the best
# of three runs.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/voxa-wine-bench}
windows="$top/build/windows"
native="$top/build/posix"
prefix="$windows/wineprefix"
mkdir -p "$work"

# The release: binaries from /usr/lib, concatenated into 48 files of 12 MB
# (binaries compress about as program files do).
release="$work/release"
if [ ! -f "$work/release.done" ]; then
  rm -rf "$release"
  mkdir -p "$release/Data"
  find /usr/lib -type f -size +64k -name '*.so*' 2>/dev/null | sort | xargs cat 2>/dev/null |
    head -c $((48 * 12 * 1024 * 1024)) > "$work/all.bin"
  split -b $((12 * 1024 * 1024)) -d -a 2 "$work/all.bin" "$release/Data/part"
  rm -f "$work/all.bin"
  touch "$work/release.done"
fi
package="$work/big.mxu"
[ -f "$package" ] || "$native/mxupack" create "$package" "$release" --method zlib >/dev/null
echo "package: $(du -m "$package" | cut -f1) MB, files: $(du -sm "$release" | cut -f1) MB"

best() { sort -n | head -1; }
timed() { # prints the seconds a command takes
  start=$(date +%s.%N); "$@" >/dev/null 2>&1; end=$(date +%s.%N)
  awk "BEGIN { printf \"%.2f\n\", $end - $start }"
}
wine_run() { "$top/scripts/wine-run" "$prefix" "$@"; }

fresh() { # an installation with the package waiting in Update/
  rm -rf "$work/install"
  mkdir -p "$work/install/Update"
  cp "$1" "$work/install/"
  cp "$package" "$work/install/Update/"
  sync
}

start=$(for i in 1 2 3; do timed wine_run "$windows/tests/e2e/fake_voxa.exe"; done | best)
bare=$(for i in 1 2 3; do
  rm -rf "$work/out"; mkdir -p "$work/out"; sync
  timed wine_run "$windows/bench/inflate_to_file.exe" "$package" "$work/out"
done | best)
updater=$(for i in 1 2 3; do
  fresh "$windows/Updater.exe"
  (cd "$work/install" && timed wine_run ./Updater.exe -dontask -onlyapply)
done | best)
nativeTime=$(for i in 1 2 3; do
  fresh "$native/Updater.exe"
  (cd "$work/install" && timed ./Updater.exe -dontask -onlyapply)
done | best)
echo "Wine start (a program that does nothing): $start s"
echo "bare inflate to files, MinGW under Wine:  $bare s"
echo "Updater.exe -onlyapply under Wine:        $updater s"
echo "native Updater.exe -onlyapply:            $nativeTime s"
echo "Windows program against the fair limit:   $(awk "BEGIN { printf \"%.2f\", $bare / $updater }")x"
