#!/bin/sh
# Measures the peak memory of the updater against a server whose
# UpdateInfo.txt never ends (once with no length, once chunked): the body in
# memory stops at 16 MiB, and the whole process must stay below 64 MiB. Next
# to it, the peak of a run against a server that is down.
#   bench/endless_text.sh [BUILD_DIR]    (default: build/posix, not sanitized)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/posix}
. "$source_dir/bench/plain_build.sh"
plain_build "$build_dir" Updater

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Two endless bodies on one port: /plain/ without a length, /chunked/ chunked.
cat >"$work/endless.py" <<'PY'
import socket, sys, threading
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
block = b"x" * 65536
def serve(connection):
    request = connection.recv(65536)
    chunked = b" /chunked/" in request
    try:
        connection.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n" +
                           (b"Transfer-Encoding: chunked\r\n" if chunked else b"") + b"\r\n")
        piece = b"10000\r\n" + block + b"\r\n" if chunked else block
        while True:
            connection.sendall(piece)
    except OSError:
        pass
    connection.close()
while True:
    connection, _ = listener.accept()
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
PY
python3 "$work/endless.py" >"$work/port" &
server_pid=$!
for _ in $(seq 50); do
  [ -s "$work/port" ] && break
  sleep 0.1
done
port=$(cat "$work/port")

mkdir -p "$work/program/Update"
cp "$build_dir/Updater.exe" "$work/program/"
peak() {
  (cd "$work/program" && /usr/bin/time -f '%M' -o "$work/peak" ./Updater.exe -dontask \
    -server "$1" >/dev/null 2>&1) || true
  echo "$(($(cat "$work/peak") / 1024)) MiB"
}
echo "server down:        $(peak http://127.0.0.1:1/)"
echo "endless, no length: $(peak "http://127.0.0.1:$port/plain/")"
echo "endless, chunked:   $(peak "http://127.0.0.1:$port/chunked/")"
grep -o "GET http://127.0.0.1:$port/[a-z]*/UpdateInfo.txt, [0-9]* bytes" \
  "$work/program/Update/Updater.log" | sed 's/^GET /taken of /'
