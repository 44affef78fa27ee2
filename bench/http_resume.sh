#!/usr/bin/env bash
# Downloads one large file through the file-set updater, the way a launcher's update run does, from a
# server that cuts every connection after CUT MiB (bench/range_cut_server: it honours Range and resets
# the connection), and checks that the file arrives whole with at most 1.05 times its bytes sent by the
# server; with and without SHA-256 checks. In the same run, from nginx without cuts, it times the
# file-set updater against the plain downloader (bench/http_download_bench), in turn for several rounds,
# and prints the medians and their ratio. Runs as root: the servers and all files live in private network
# and mount namespaces this script makes, and vanish with them.
#
#   bench/http_resume.sh [build directory] [rounds] [size in MiB] [cut every MiB]   (defaults: build 3 1024 100)
#
# The build directory needs the bench programs:
#   cmake --build <dir> --target http_download_bench file_update_bench range_cut_server
set -euo pipefail

source "$(dirname "$0")/common.sh"
bench_enter_namespaces "$@"

build=$(realpath "${1:-build}")
rounds=${2:-3}
size_mib=${3:-1024}
cut_mib=${4:-100}
plain=$(bench_program "$build" http_download_bench)
updater=$(bench_program "$build" file_update_bench)
cutter=$(bench_program "$build" range_cut_server)

bench_make_work $((size_mib * 2 + 64))

size=$((size_mib * 1024 * 1024))
mkdir -p "$work/root/downloads/tessar_v3" "$work/exe"
file="$work/root/downloads/tessar_v3/big.bin"
head -c "$size" /dev/urandom >"$file"
sha256=$(sha256sum "$file" | cut -d' ' -f1)
bench_start_nginx "$work/root" "/"

# run_updater PORT [sha256]: one download by the file-set updater into a fresh executables directory;
# sets $line and $last_time, and checks the file.
run_updater() {
  rm -rf "$work/exe"
  mkdir "$work/exe"
  local start
  start=$(now)
  # The debug log goes to standard output too (the program sets no log file): the result is the last line.
  local output
  output=$("$updater" "$1" big.bin "$size" "$work/exe" "${@:2}") || true
  last_time=$(elapsed "$start" "$(now)")
  line=${output##*$'\n'}
  case "$line" in
    "result 1 "*) ;;
    *) echo "file-set updater failed: $output" >&2; exit 1 ;;
  esac
  if ! cmp -s "$work/exe/big.bin" "$file"; then
    echo "the file-set updater's file differs from the original" >&2
    exit 1
  fi
}

ours=()
theirs=()
peak_kib=0
for round in $(seq "$rounds"); do
  run_updater 80
  ours+=("$last_time")
  rss=$(echo "$line" | awk '{ print $6 }')
  [ "$rss" -gt "$peak_kib" ] && peak_kib=$rss
  rm -rf "$work/exe"

  rm -f "$work/out.bin"
  start=$(now)
  line=$("$plain" 80 /downloads/tessar_v3/big.bin "$work/out.bin")
  theirs+=("$(elapsed "$start" "$(now)")")
  case "$line" in
    "result 1 "*) ;;
    *) echo "plain download failed: $line" >&2; exit 1 ;;
  esac
  rm -f "$work/out.bin"
  printf 'round %d: file-set updater %.3f s, plain downloader %.3f s\n' "$round" "${ours[-1]}" "${theirs[-1]}"
done

# cut_run [sha256]: the file-set updater against the cutting server; sets $cut_line, $cut_time, $sent.
cutter_pid=
stop_cutter() {
  if [ -n "$cutter_pid" ]; then
    kill -TERM "$cutter_pid" 2>/dev/null || true
    wait "$cutter_pid" 2>/dev/null || true
  fi
  cutter_pid=
}
trap 'stop_cutter; bench_cleanup' EXIT
cut_run() {
  "$cutter" 8080 "$file" $((cut_mib * 1024 * 1024)) "$work/count.txt" &
  cutter_pid=$!
  for _ in $(seq 200); do
    ss -ltn | grep -q '127.0.0.1:8080 ' && break
    sleep 0.05
  done
  run_updater 8080 "$@"
  cut_line=$line
  cut_time=$last_time
  stop_cutter
  sent=$(awk '{ print $4 }' "$work/count.txt")
  connections=$(awk '{ print $2 }' "$work/count.txt")
  rm -rf "$work/exe"
}

cut_run
plain_cut_line=$cut_line plain_cut_time=$cut_time plain_sent=$sent plain_connections=$connections
cut_run "$sha256"
hashed_cut_line=$cut_line hashed_cut_time=$cut_time hashed_sent=$sent hashed_connections=$connections

ours_median=$(median "${ours[@]}")
theirs_median=$(median "${theirs[@]}")
printf 'file: %d MiB over loopback, %d rounds unbroken\n' "$size_mib" "$rounds"
printf 'unbroken, file-set updater median: %.3f s (%.0f MiB/s), peak resident memory %d KiB\n' "$ours_median" \
  "$(calc "$size_mib / $ours_median")" "$peak_kib"
printf 'unbroken, plain downloader median: %.3f s (%.0f MiB/s)\n' "$theirs_median" \
  "$(calc "$size_mib / $theirs_median")"
printf 'ratio (file-set updater / plain downloader): %.2f\n' "$(calc "$ours_median / $theirs_median")"
report_cut() {
  printf 'cut every %d MiB%s: whole in %.3f s over %d connections (%d retries); server sent %d bytes, %.4f x the file\n' \
    "$cut_mib" "$1" "$2" "$3" "$(echo "$4" | awk '{ print $8 }')" "$5" "$(calc "$5 / $size")"
}
report_cut "" "$plain_cut_time" "$plain_connections" "$plain_cut_line" "$plain_sent"
report_cut ", with SHA-256" "$hashed_cut_time" "$hashed_connections" "$hashed_cut_line" "$hashed_sent"
for s in "$plain_sent" "$hashed_sent"; do
  if [ "$(awk -v s="$s" -v f="$size" 'BEGIN { print (s <= 1.05 * f) ? 1 : 0 }')" != 1 ]; then
    echo "the server sent more than 1.05 times the file's bytes" >&2
    exit 1
  fi
done
