#!/bin/sh
# Makes the signed samples of the signature tests with the real minisign:
# two key pairs without passwords (a, b), a file of several MiB signed by a
# in both forms and by b, an empty file and a second file signed by a, and a
# file of the largest size legacy signatures are checked for, signed by a in
# the legacy form.
#   make_minisign_samples.sh FOLDER [MINISIGN]
set -e
folder=$1
minisign=${2:-minisign}
mkdir -p "$folder"
cd "$folder"
"$minisign" -G -f -W -p a.pub -s a.key >/dev/null
"$minisign" -G -f -W -p b.pub -s b.key >/dev/null
# Not a whole number of the reader's 1 MiB chunks.
head -c 2621447 /dev/urandom >VersionInfo.txt
: >Empty.txt
printf 'another file\r\n' >Other.mxu
head -c 64512 /dev/urandom >Legacy.bin
"$minisign" -S -s a.key -m VersionInfo.txt Empty.txt Other.mxu >/dev/null
"$minisign" -S -l -s a.key -m VersionInfo.txt -x VersionInfo.txt.legacy.minisig >/dev/null
"$minisign" -S -l -s a.key -m Legacy.bin >/dev/null
"$minisign" -S -s b.key -m VersionInfo.txt -x VersionInfo.txt.b.minisig >/dev/null
