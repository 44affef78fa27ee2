#!/usr/bin/env bash
# Downloads one large file from nginx on loopback, in file mode with the project's downloader and with
# `curl -o`, alternating for several rounds, and prints the median wall time of each, their ratio, and
# the downloader's peak resident memory. Runs as root: nginx and all files live in private network and
# mount namespaces this script makes, and vanish with them.
#
#   bench/http_download.sh [build directory] [rounds] [size in MiB]     (defaults: build 5 1024)
#
# The build directory needs the bench program: cmake --build <dir> --target http_download_bench
set -euo pipefail

if [ "${VARNHOLT_BENCH_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (the benchmark makes its own network and mount namespaces)" >&2
    exit 1
  fi
  exec env VARNHOLT_BENCH_INSIDE=1 unshare --net --mount --propagation private "$0" "$@"
fi

build=$(realpath "${1:-build}")
rounds=${2:-5}
size_mib=${3:-1024}
bench="$build/bench/http_download_bench"
if [ ! -x "$bench" ]; then
  echo "missing $bench: cmake --build $build --target http_download_bench" >&2
  exit 1
fi

ip link set lo up
work=$(mktemp -d /tmp/varnholt-bench-XXXXXX)
mount -t tmpfs -o size=$((size_mib * 2 + 64))m tmpfs "$work"
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  umount "$work" 2>/dev/null || true
  rmdir "$work" 2>/dev/null || true
}
trap cleanup EXIT

mkdir "$work/root" "$work/nginx"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/root/big.bin"
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  default_type application/octet-stream;
  access_log off;
  client_body_temp_path $work/nginx/client_body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  sendfile on;
  server { listen 127.0.0.1:80; root $work/root; }
}
EOF
/usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null http://127.0.0.1/ && break
  sleep 0.05
done

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

ours=()
theirs=()
peak_kib=0
for round in $(seq "$rounds"); do
  rm -f "$work/out.bin"
  start=$(now)
  line=$("$bench" 80 /big.bin "$work/out.bin")
  ours+=("$(elapsed "$start" "$(now)")")
  case "$line" in
    "result 1 "*) ;;
    *) echo "download failed: $line" >&2; exit 1 ;;
  esac
  if [ "$round" -eq 1 ] && ! cmp -s "$work/out.bin" "$work/root/big.bin"; then
    echo "downloaded file differs from the original" >&2
    exit 1
  fi
  rss=$(echo "$line" | awk '{ print $6 }')
  [ "$rss" -gt "$peak_kib" ] && peak_kib=$rss

  rm -f "$work/out.bin"
  start=$(now)
  curl -s -o "$work/out.bin" http://127.0.0.1/big.bin
  theirs+=("$(elapsed "$start" "$(now)")")
  printf 'round %d: downloader %.3f s, curl %.3f s\n' "$round" "${ours[-1]}" "${theirs[-1]}"
done

ours_median=$(median "${ours[@]}")
theirs_median=$(median "${theirs[@]}")
printf 'file: %d MiB over loopback, %d rounds\n' "$size_mib" "$rounds"
printf 'downloader median: %.3f s (%.0f MiB/s), peak resident memory %d KiB\n' "$ours_median" \
  "$(echo "$size_mib / $ours_median" | bc -l)" "$peak_kib"
printf 'curl median:       %.3f s (%.0f MiB/s)\n' "$theirs_median" "$(echo "$size_mib / $theirs_median" | bc -l)"
printf 'ratio (downloader / curl): %.2f\n' "$(echo "$ours_median / $theirs_median" | bc -l)"
