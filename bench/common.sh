# Shared by the benchmark scripts: private namespaces, a tmpfs work directory, nginx on 127.0.0.1:80 and
# timing helpers. Source it after `set -euo pipefail`; it re-executes the calling script inside its own
# network and mount namespaces, so nginx and every file vanish with them.

bench_enter_namespaces() {
  if [ "${VARNHOLT_BENCH_INSIDE:-}" = 1 ]; then
    ip link set lo up
    return
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (the benchmark makes its own network and mount namespaces)" >&2
    exit 1
  fi
  exec env VARNHOLT_BENCH_INSIDE=1 unshare --net --mount --propagation private "$0" "$@"
}

# bench_make_work SIZE_MIB: sets $work to a fresh tmpfs of that size, removed on exit.
bench_make_work() {
  work=$(mktemp -d /tmp/varnholt-bench-XXXXXX)
  mount -t tmpfs -o size="$1"m tmpfs "$work"
  nginx_pid=
  trap bench_cleanup EXIT
}

bench_cleanup() {
  if [ -n "${nginx_pid:-}" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  umount "$work" 2>/dev/null || true
  rmdir "$work" 2>/dev/null || true
}

bench_nginx_template="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/testing/nginx.conf.in"

# bench_start_nginx ROOT PROBE_PATH: serves ROOT on 127.0.0.1:80 and waits until PROBE_PATH answers.
# Without an access log, so that the server does no more per request than it must.
bench_start_nginx() {
  mkdir -p "$work/nginx"
  local conf
  conf=$(<"$bench_nginx_template")
  conf=${conf//@WORK@/"$work/nginx"}
  conf=${conf//@SERVER@/"server { listen 127.0.0.1:80; root $1; access_log off; }"}
  printf '%s\n' "$conf" >"$work/nginx/nginx.conf"
  /usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
  nginx_pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1$2" && return
    sleep 0.05
  done
  echo "nginx did not start: $(cat "$work/nginx/error.log")" >&2
  exit 1
}

# The path of bench program NAME in BUILD; fails, saying how to build it, when it is not there.
bench_program() {
  local path="$1/bench/$2"
  if [ ! -x "$path" ]; then
    echo "missing $path: cmake --build $1 --target $2" >&2
    return 1
  fi
  echo "$path"
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", b - a }'; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
