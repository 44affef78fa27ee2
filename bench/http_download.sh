#!/usr/bin/env bash
# Downloads one large file from nginx on loopback, in file mode with the project's downloader, with the
# downloader hashing the body as it arrives (SHA-256, as launchers built with keys do) and with `curl -o`,
# in turn for several rounds, and prints the median wall time of each, their ratios, and the
# downloader's peak resident memory with and without hashing. Runs as root: nginx and all files live in private network and
# mount namespaces this script makes, and vanish with them.
#
#   bench/http_download.sh [build directory] [rounds] [size in MiB]     (defaults: build 5 1024)
#
# The build directory needs the bench program: cmake --build <dir> --target http_download_bench
set -euo pipefail

source "$(dirname "$0")/common.sh"
bench_enter_namespaces "$@"

build=$(realpath "${1:-build}")
rounds=${2:-5}
size_mib=${3:-1024}
bench=$(bench_program "$build" http_download_bench)

bench_make_work $((size_mib * 2 + 64))

mkdir "$work/root"
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$work/root/big.bin"
bench_start_nginx "$work/root" "/"

expected_sha256=$(sha256sum "$work/root/big.bin" | cut -d' ' -f1)
ours=()
hashed=()
theirs=()
peak_kib=0
peak_hashed_kib=0
# run_bench [sha256]: one download by the bench program; sets $line and $last_time.
run_bench() {
  rm -f "$work/out.bin"
  local start
  start=$(now)
  line=$("$bench" 80 /big.bin "$work/out.bin" "$@")
  last_time=$(elapsed "$start" "$(now)")
  case "$line" in
    "result 1 "*) ;;
    *) echo "download failed: $line" >&2; exit 1 ;;
  esac
}
for round in $(seq "$rounds"); do
  run_bench
  ours+=("$last_time")
  if [ "$round" -eq 1 ] && ! cmp -s "$work/out.bin" "$work/root/big.bin"; then
    echo "downloaded file differs from the original" >&2
    exit 1
  fi
  rss=$(echo "$line" | awk '{ print $6 }')
  [ "$rss" -gt "$peak_kib" ] && peak_kib=$rss

  run_bench sha256
  hashed+=("$last_time")
  if [ "$(echo "$line" | awk '{ print $10 }')" != "$expected_sha256" ]; then
    echo "the downloader's SHA-256 is not the file's: $line" >&2
    exit 1
  fi
  rss=$(echo "$line" | awk '{ print $6 }')
  [ "$rss" -gt "$peak_hashed_kib" ] && peak_hashed_kib=$rss

  rm -f "$work/out.bin"
  start=$(now)
  curl -s -o "$work/out.bin" http://127.0.0.1/big.bin
  theirs+=("$(elapsed "$start" "$(now)")")
  printf 'round %d: downloader %.3f s, with SHA-256 %.3f s, curl %.3f s\n' "$round" "${ours[-1]}" \
    "${hashed[-1]}" "${theirs[-1]}"
done

ours_median=$(median "${ours[@]}")
hashed_median=$(median "${hashed[@]}")
theirs_median=$(median "${theirs[@]}")
printf 'file: %d MiB over loopback, %d rounds\n' "$size_mib" "$rounds"
printf 'downloader median:              %.3f s (%.0f MiB/s), peak resident memory %d KiB\n' "$ours_median" \
  "$(calc "$size_mib / $ours_median")" "$peak_kib"
printf 'downloader with SHA-256 median: %.3f s (%.0f MiB/s), peak resident memory %d KiB\n' "$hashed_median" \
  "$(calc "$size_mib / $hashed_median")" "$peak_hashed_kib"
printf 'curl median:                    %.3f s (%.0f MiB/s)\n' "$theirs_median" "$(calc "$size_mib / $theirs_median")"
printf 'ratio (downloader / curl): %.2f\n' "$(calc "$ours_median / $theirs_median")"
printf 'throughput with SHA-256 / without: %.2f\n' "$(calc "$ours_median / $hashed_median")"
