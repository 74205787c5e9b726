#!/bin/sh
# The mxupack command line: round trips through create, list, verify and
# extract, variant keys, empty files, links and left-out paths, repair, and a
# non-zero exit with a message for bad input.
#   mxupack_test.sh PATH_TO_MXUPACK
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect CODE COMMAND...: runs the command, checks its exit code.
expect() {
  want=$1; shift
  "$@" >"$work/out" 2>"$work/err"
  got=$?
  [ "$got" -eq "$want" ] || fail "exit $got (wanted $want): $* : $(cat "$work/err")"
}

mkdir -p "$work/src/Data/Maps" "$work/v3"
printf 'read me\n' >"$work/src/Readme.txt"
head -c 300000 "$tool" >"$work/src/Data/Maps/Forest.dat"
seq 1 50000 >"$work/src/Data/list.txt"
printf 'key three\n' >"$work/v3/Readme.txt"
printf 'only three\n' >"$work/v3/Extra.txt"

for method in stored zlib lzma zstd best; do
  for dir in auto stored zlib lzma zstd; do
    pkg="$work/$method-$dir.mxu"
    expect 0 "$tool" create "$pkg" "$work/src" --method "$method" --dir-method "$dir" --version 7
    expect 0 "$tool" verify "$pkg"
    rm -rf "$work/x"
    expect 0 "$tool" extract "$pkg" "$work/x"
    diff -r "$work/src" "$work/x" >/dev/null || fail "extract of $method/$dir differs"
  done
done

expect 0 "$tool" list "$work/zlib-auto.mxu"
grep -q 'Data\\Maps\\Forest.dat	zlib	[0-9]*	300000	7	0	21' "$work/out" || fail "list line: $(cat "$work/out")"

expect 0 "$tool" create "$work/keys.mxu" "$work/src" --key 1 --variant 3=$work/v3
expect 0 "$tool" extract "$work/keys.mxu" "$work/k3" --key 3
[ "$(cat "$work/k3/Readme.txt")" = "key three" ] || fail "key 3 variant not chosen"
[ "$(cat "$work/k3/Extra.txt")" = "only three" ] || fail "key 3 only entry missing"
expect 0 "$tool" extract "$work/keys.mxu" "$work/k0"
[ "$(cat "$work/k0/Readme.txt")" = "read me" ] || fail "first variant not chosen without key"

# Patches: the files that the old release has become patches, which apply
# only over those old files.
mkdir -p "$work/old/Data/Maps"
head -c 290000 "$tool" >"$work/old/Data/Maps/Forest.dat"
printf 'read me, old\n' >"$work/old/Readme.txt"
printf 'gone in the new release\n' >"$work/old/Gone.txt"
expect 0 "$tool" create "$work/patch.mxu" "$work/src" --patch-from "$work/old" --method zstd
expect 0 "$tool" list "$work/patch.mxu"
grep -q '^Gone.txt	remove	0	0	' "$work/out" || fail "no remove line: $(cat "$work/out")"
grep -q 'Readme.txt	remove' "$work/out" && fail "a kept file removed: $(cat "$work/out")"
grep -q 'Data\\Maps\\Forest.dat	patch	' "$work/out" || fail "no patch line: $(cat "$work/out")"
grep -q 'Data\\list.txt	zstd	' "$work/out" || fail "no zstd line: $(cat "$work/out")"
expect 0 "$tool" verify "$work/patch.mxu"
grep -q '2 patch variant(s) not decoded' "$work/out" || fail "verify: $(cat "$work/out")"
expect 0 "$tool" verify "$work/patch.mxu" --reference-folder "$work/old"
expect 1 "$tool" verify "$work/patch.mxu" --reference-folder "$work/src"
grep -q 'was not made from' "$work/err" || fail "verify names no reference: $(cat "$work/err")"
rm -rf "$work/x" && cp -r "$work/old" "$work/x"
expect 0 "$tool" extract "$work/patch.mxu" "$work/x"
diff -r "$work/src" "$work/x" >/dev/null || fail "extract of the patches differs"
rm -rf "$work/x"
expect 1 "$tool" extract "$work/patch.mxu" "$work/x"

# Damage: a flipped byte inside the zlib data of an entry.
cp "$work/zlib-stored.mxu" "$work/bad.mxu"
printf '\377\377\377\377' | dd of="$work/bad.mxu" bs=1 seek=100 conv=notrunc 2>/dev/null
expect 1 "$tool" verify "$work/bad.mxu"
grep -q 'cannot decode' "$work/err" || fail "verify names no failure"

printf 'VelkoArc' >"$work/short.mxu"
mkdir -p "$work/emptydir"
: >"$work/src2-empty"
mkdir -p "$work/withempty" && : >"$work/withempty/zero"
expect 2 "$tool"
expect 2 "$tool" frobnicate
expect 2 "$tool" create "$work/o.mxu"
expect 2 "$tool" create "$work/o.mxu" "$work/src" --method fast
expect 2 "$tool" create "$work/o.mxu" "$work/src" --version 70000
expect 2 "$tool" create "$work/o.mxu" "$work/src" --key
expect 1 "$tool" create "$work/o.mxu" "$work/nothere"
expect 1 "$tool" create "$work/o.mxu" "$work/emptydir"
[ -e "$work/o.mxu" ] && fail "a failed create left a package"
# An empty file is a stored entry with both sizes 0.
expect 0 "$tool" create "$work/o.mxu" "$work/withempty" --method zlib
expect 0 "$tool" list "$work/o.mxu"
grep -q '^zero	stored	0	0	' "$work/out" || fail "empty entry: $(cat "$work/out")"
expect 0 "$tool" verify "$work/o.mxu"

# A link is packed only on purpose; left-out paths are not packed at all.
mkdir -p "$work/links/Logs/Old" "$work/outside"
printf 'secret\n' >"$work/outside/secret.txt"
printf 'keep\n' >"$work/links/keep.txt"
printf 'log\n' >"$work/links/Logs/Old/a.log"
printf 'pdb\n' >"$work/links/Logs/b.PDB"
ln -s "$work/outside/secret.txt" "$work/links/linked.txt"
expect 1 "$tool" create "$work/l.mxu" "$work/links"
grep -q 'a link in the release: linked.txt' "$work/err" || fail "link: $(cat "$work/err")"
expect 0 "$tool" create "$work/l.mxu" "$work/links" --follow-links --exclude 'Logs/Old' --exclude '*.pdb'
expect 0 "$tool" list "$work/l.mxu"
[ "$(grep -c '	' "$work/out")" -eq 3 ] || fail "left-out paths packed: $(cat "$work/out")"
grep -q '^linked.txt	stored	7	7' "$work/out" || fail "link content: $(cat "$work/out")"

# repair: stray pending files go, a folder without a plan is left alone.
mkdir -p "$work/server"
printf 'x' >"$work/server/VOXA-1.05.mxu.~publish"
printf 'ok' >"$work/server/UpdateInfo.txt"
expect 0 "$tool" repair "$work/server"
[ -e "$work/server/VOXA-1.05.mxu.~publish" ] && fail "repair left a pending file"
[ "$(cat "$work/server/UpdateInfo.txt")" = "ok" ] || fail "repair changed a file"
expect 2 "$tool" repair
# An expiry is days, 1 to 3650; refresh needs its key.
expect 2 "$tool" publish "$work/server" "$work/src" --expires 0
expect 2 "$tool" publish "$work/server" "$work/src" --expires 3651
expect 2 "$tool" refresh "$work/server" --expires 7
expect 2 "$tool" refresh "$work/server" --sign
expect 1 "$tool" refresh "$work/server" --sign "$work/no.key"
expect 1 "$tool" list "$work/nothere.mxu"
expect 1 "$tool" list "$work/short.mxu"
expect 1 "$tool" verify "$work/short.mxu"
expect 1 "$tool" extract "$work/short.mxu" "$work/y"
expect 0 "$tool" --help
grep -q 'mxupack create OUT.mxu DIR' "$work/out" || fail "help text"

[ "$failures" -eq 0 ] && echo "all mxupack checks passed"
[ "$failures" -eq 0 ]
