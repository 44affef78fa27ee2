#!/usr/bin/env bash
# Fetches a remote manifest of 200,000 records (gzip, about 20 MB inflated) from nginx on 127.0.0.1:80
# with the update run's fetcher (download, inflate and parse), and with `curl -s URL | gzip -dc`,
# alternating for several rounds; prints the median wall time of each and their ratio. Runs as root:
# nginx and all files live in private network and mount namespaces this script makes.
#
#   bench/remote_manifest.sh [build directory] [rounds] [records]     (defaults: build 7 200000)
#
# The build directory needs the bench program: cmake --build <dir> --target remote_manifest_bench
set -euo pipefail

if [ "${VARNHOLT_BENCH_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root (the benchmark makes its own network and mount namespaces)" >&2
    exit 1
  fi
  exec env VARNHOLT_BENCH_INSIDE=1 unshare --net --mount --propagation private "$0" "$@"
fi

build=$(realpath "${1:-build}")
rounds=${2:-7}
records=${3:-200000}
bench="$build/bench/remote_manifest_bench"
if [ ! -x "$bench" ]; then
  echo "missing $bench: cmake --build $build --target remote_manifest_bench" >&2
  exit 1
fi

ip link set lo up
work=$(mktemp -d /tmp/varnholt-bench-XXXXXX)
mount -t tmpfs -o size=256m tmpfs "$work"
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

path=/downloads/tessar_v3/manifest_linux32_executables.txt.gz
mkdir -p "$work/root/downloads/tessar_v3" "$work/nginx"
# Lines like the server's: a 40-digit hash, the size, a name of about 45 characters.
awk -v n="$records" 'BEGIN {
  srand(1)
  print "# remote manifest for the benchmark"
  for (i = 0; i < n; i++) {
    printf "%08x%08x%08x%08x%08x %10d client/build-%06d/varnholt_client_part_%06d.bin\n",
      int(rand() * 4294967295), int(rand() * 4294967295), int(rand() * 4294967295),
      int(rand() * 4294967295), i, int(rand() * 50000000), i % 1000, i
  }
}' >"$work/manifest.txt"
gzip -6 -c "$work/manifest.txt" >"$work/root$path"
inflated=$(stat -c %s "$work/manifest.txt")
compressed=$(stat -c %s "$work/root$path")
rm "$work/manifest.txt"

cat >"$work/nginx/nginx.conf" <<CONF
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
CONF
/usr/sbin/nginx -p "$work/nginx/" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1$path" && break
  sleep 0.05
done

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

ours=()
theirs=()
peak_kib=0
for round in $(seq "$rounds"); do
  start=$(now)
  line=$("$bench" "$path")
  ours+=("$(elapsed "$start" "$(now)")")
  case "$line" in
    "records $records "*) ;;
    *) echo "fetch failed: $line" >&2; exit 1 ;;
  esac
  rss=$(echo "$line" | awk '{ print $6 }')
  [ "$rss" -gt "$peak_kib" ] && peak_kib=$rss

  start=$(now)
  curl -s "http://127.0.0.1$path" | gzip -dc >/dev/null
  theirs+=("$(elapsed "$start" "$(now)")")
  printf 'round %d: fetch_manifest %.3f s, curl | gzip -dc %.3f s\n' "$round" "${ours[-1]}" "${theirs[-1]}"
done

ours_median=$(median "${ours[@]}")
theirs_median=$(median "${theirs[@]}")
printf 'manifest: %d records, %d bytes inflated, %d bytes gzip, %d rounds\n' "$records" "$inflated" \
  "$compressed" "$rounds"
printf 'fetch_manifest median:   %.3f s, peak resident memory %d KiB\n' "$ours_median" "$peak_kib"
printf 'curl | gzip -dc median:  %.3f s\n' "$theirs_median"
printf 'ratio (fetch_manifest / curl | gzip -dc): %.2f\n' "$(echo "$ours_median / $theirs_median" | bc -l)"
