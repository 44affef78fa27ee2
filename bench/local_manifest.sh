#!/usr/bin/env bash
# Times load_file, a find_entry of every name and save_file on local manifests of 100,000 and 200,000
# entries, and prints the times and their ratio (about 2 when nothing is quadratic). The manifests are
# written to a temporary directory that is removed afterwards.
#
#   bench/local_manifest.sh [build directory] [rounds]     (defaults: build 5)
#
# The build directory needs the bench program: cmake --build <dir> --target local_manifest_bench
set -euo pipefail

source "$(dirname "$0")/common.sh"

build=$(realpath "${1:-build}")
rounds=${2:-5}
bench=$(bench_program "$build" local_manifest_bench)

work=$(mktemp -d /tmp/varnholt-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$bench" "$work" 100000 200000 "$rounds"
