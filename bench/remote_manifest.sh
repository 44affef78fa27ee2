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

source "$(dirname "$0")/common.sh"
bench_enter_namespaces "$@"

build=$(realpath "${1:-build}")
rounds=${2:-7}
records=${3:-200000}
bench=$(bench_program "$build" remote_manifest_bench)

bench_make_work 256

path=/downloads/tessar_v3/manifest_linux32_executables.txt.gz
mkdir -p "$work/root/downloads/tessar_v3"
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

bench_start_nginx "$work/root" "$path"


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
printf 'ratio (fetch_manifest / curl | gzip -dc): %.2f\n' "$(calc "$ours_median / $theirs_median")"
