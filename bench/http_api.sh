#!/usr/bin/env bash
# Requests per second and p99 latency of a GET route of a sandboxed vx4-api,
# against nginx (one worker) serving the same reply bytes from a file, both
# driven by wrk in the same run. Every request is HTTP/1.0, so each reply
# ends its connection, as the API always does.
#
#   bench/http_api.sh [PATH] [SECONDS] [CONNECTIONS]
#
# PATH defaults to /api/led/mode, a JSON route that reads the LED state
# under its lock. The daemon runs on the simulated head (power board and
# camera from vx4-sim, a private redis), so that a route such as /api/status
# shows live values; the simulator and redis share the load generator's core.
set -euo pipefail
cd "$(dirname "$0")/.."

path=${1:-/api/led/mode}
seconds=${2:-10}
connections=${3:-50}
bin=build/release/daemon/vx4-api
sim=build/release/sim/vx4-sim

if [ ! -x "$bin" ] || [ ! -x "$sim" ]; then
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j2 --target vx4-api vx4-sim >/dev/null
fi
for tool in wrk nginx curl redis-server; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/vx4-bench-XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${VX4_BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 12000))  # below the ephemeral range wrk's own sockets use
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "bench: nothing listens on port $1" >&2
  exit 1
}

# vx4-api in its own sandbox root, loopback peers only.
root=$work/root
mkdir -p "$root"/{media/usb99,media/usb-cpy,var/run/vx4,home/vx4,config,tmp}
# With two cores or more the servers share one core and wrk has another, so
# that the load generator does not set the servers' latency tails.
server_cpu=() load_cpu=() wrk_threads=2
if [ "$(nproc)" -ge 2 ] && command -v taskset >/dev/null; then
  server_cpu=(taskset -c 0) load_cpu=(taskset -c 1) wrk_threads=1
fi

echo '{"model_name": "VX4 Advanced"}' >"$root/config/system.json"
redis_port=$(free_port) sim_port=$(free_port) visca_port=$(free_port)
"${load_cpu[@]}" redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" \
  >"$work/redis.log" 2>&1 &
pids+=($!)
"${load_cpu[@]}" "$sim" --control-port="$sim_port" --bus="$work/board.sock" --visca-port="$visca_port" \
  >"$work/sim.log" 2>&1 &
pids+=($!)
wait_port "$redis_port"
wait_port "$sim_port"

api_port=$(free_port)
VX4_ROOT=$root VX4_CAMERA_HOST=127.0.0.1 VX4_REDIS_HOST=127.0.0.1 VX4_REDIS_PORT=$redis_port \
  VX4_CAMERA_VISCA_PORT=$visca_port VX4_POWER_BOARD=sim:$work/board.sock \
  VX4_API_PORT=$api_port "${server_cpu[@]}" "$bin" >"$work/api.log" 2>&1 &
pids+=($!)
wait_port "$api_port"
# Once the camera's positions have come in.
for _ in $(seq 100); do
  curl -s "http://127.0.0.1:$api_port/api/camera/zoom/position" | grep -q '"zoom_position":-1' || break
  sleep 0.1
done

# The reply to serve from nginx: the API's own status, type and body.
www=$work/www
mkdir -p "$www"
read -r status type < <(curl -s -0 -o "$www/reply" -w '%{http_code} %{content_type}\n' "http://127.0.0.1:$api_port$path")
type=${type:-text/html}

# nginx as an unprivileged instance with its own configuration and files.
nginx_port=$(free_port)
if [ "$status" = 200 ]; then
  location="location / { default_type $type; try_files /reply =500; }"
else
  location="error_page $status /reply; location / { return $status; } location = /reply { internal; default_type $type; }"
fi
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  server_tokens off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $www;
    $location
  }
}
CONF
as_user=()
if [ "$(id -u)" = 0 ]; then
  chown -R nobody "$work/nginx" "$www"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
"${server_cpu[@]}" "${as_user[@]}" nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' 2>"$work/nginx.log" &
pids+=($!)
wait_port "$nginx_port"

cat > "$work/request.lua" <<LUA
request = function() return "GET $path HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" end
LUA

# run NAME PORT: prints "requests_per_second p99_ms errors"
run() {
  local out
  out=$("${load_cpu[@]}" wrk -t"$wrk_threads" -c"$connections" -d"${seconds}s" --latency -s "$work/request.lua" "http://127.0.0.1:$2$path")
  echo "$out" >"$work/$1.wrk"
  local rps p99 errors
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {v=$2; u=v; sub(/[a-z]+$/, "", v); sub(/^[0-9.]+/, "", u);
        f = (u == "us") ? 0.001 : (u == "s") ? 1000 : 1; printf "%.3f", v * f}' <<<"$out")
  errors=$(awk '/Socket errors/ {print $0}' <<<"$out" | sed 's/^ *//')
  echo "$rps $p99 ${errors:-no socket errors}"
}

echo "GET $path ($status, $(stat -c %s "$www/reply") body bytes), $connections connections, ${seconds} s each"
read -r api_rps api_p99 api_errors < <(run vx4-api "$api_port")
read -r ngx_rps ngx_p99 ngx_errors < <(run nginx "$nginx_port")
printf '%-8s %10.0f requests/s   p99 %8.3f ms   %s\n' vx4-api "$api_rps" "$api_p99" "$api_errors"
printf '%-8s %10.0f requests/s   p99 %8.3f ms   %s\n' nginx "$ngx_rps" "$ngx_p99" "$ngx_errors"
awk -v a="$api_rps" -v n="$ngx_rps" -v p="$api_p99" 'BEGIN {
  printf "ratio vx4-api/nginx requests per second: %.2f (target at least 0.50)\n", a / n
  printf "vx4-api p99 latency: %.3f ms (target under 5 ms)\n", p }'
