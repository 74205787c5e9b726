#!/bin/sh
# Measures the peak memory of the updater against a server whose
# UpdateInfo.txt never ends (once with no length, once chunked): the body in
# memory stops at 16 MiB, and the whole process must stay below 64 MiB. The
# same for a server whose VersionInfo.txt is 16 MiB of empty CR LF lines
# (8 Mi lines; once with its length, once chunked), which the run reads
# whole. Next to them, the peak of a run against a server that is down.
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
# Below /catalogue/ and /catalogue-chunked/ a server whose state is ok, whose
# list is one server and whose catalogue is 16 MiB of CR LF.
cat >"$work/endless.py" <<'PY'
import socket, sys, threading
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(8)
print(listener.getsockname()[1], flush=True)
block = b"x" * 65536
catalogue = b"\r\n" * (8 << 20)
def answer(connection, body, chunked):
    head = b"HTTP/1.1 200 OK\r\nConnection: close\r\n"
    if chunked:
        connection.sendall(head + b"Transfer-Encoding: chunked\r\n\r\n")
        for at in range(0, len(body), 65536):
            piece = body[at:at + 65536]
            connection.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
        connection.sendall(b"0\r\n\r\n")
    else:
        connection.sendall(head + b"Content-Length: %d\r\n\r\n" % len(body) + body)
def serve(connection):
    request = connection.recv(65536)
    path = request.split(b" ")[1]
    chunked = path.startswith(b"/chunked/") or path.startswith(b"/catalogue-chunked/")
    try:
        if path.startswith(b"/catalogue"):
            files = {b"UpdateInfo.txt": b"ok", b"VersionInfo.txt": catalogue,
                     b"UpdateServer.lst": b"http://127.0.0.1:1/\r\n"}
            answer(connection, files.get(path.rsplit(b"/", 1)[1], b""), chunked)
        else:
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
echo "16 MiB catalogue:   $(peak "http://127.0.0.1:$port/catalogue/")"
echo "  the same chunked: $(peak "http://127.0.0.1:$port/catalogue-chunked/")"
grep -o "GET http://127.0.0.1:$port/[a-z]*/UpdateInfo.txt, [0-9]* bytes" \
  "$work/program/Update/Updater.log" | sed 's/^GET /taken of /'
