#!/bin/sh
# Measures the updater's HTTP client against `curl -o`: both download the same
# 1 GiB file from a local nginx into a file, in the same run. nginx runs on
# 127.0.0.1 with a configuration and root of its own and is stopped at the end.
#   bench/http_download.sh [BUILD_DIR]    (default: build/posix, not sanitized)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build/posix}
. "$source_dir/bench/plain_build.sh"
plain_build "$build_dir" http_download

work=$(mktemp -d)
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/root" "$work/logs" "$work/temp"
# nginx workers started by root read as an unprivileged user.
chmod 755 "$work" "$work/root"
head -c 1073741824 /dev/urandom >"$work/root/big.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $work/root;
  }
}
CONF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 50); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done

url="http://127.0.0.1:$port/big.bin"
# One warm-up pass puts the file in the page cache for both.
curl -sf -o /dev/null "$url"
curl_rate=$(curl -sf -o "$work/curl.bin" -w '%{speed_download}' "$url")
rm -f "$work/curl.bin"
updater_line=$("$build_dir/bench/http_download" "$url" "$work/updater.bin")
rm -f "$work/updater.bin"
curl_mb=$(python3 -c "print(f'{$curl_rate / 1e6:.1f}')")
echo "curl -o:      $curl_mb MB/s"
echo "HTTPGetFromWeb: $updater_line"
