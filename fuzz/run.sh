#!/usr/bin/env bash
# Builds the pickled-form fuzzer with clang, seeds a fresh corpus and fuzzes for a
# bounded time. Exits non-zero on any crash, leak, timeout or oversized allocation.
#
# Usage: fuzz/run.sh [SECONDS]     (default 60)
# Environment: VORPAK_FUZZ_BUILD_DIR (default build-fuzz), VORPAK_FUZZ_STANDALONE=1
# to configure fuzz/ alone instead of the whole project.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VORPAK_FUZZ_BUILD_DIR:-$root/build-fuzz}"

if [[ -n "${VORPAK_FUZZ_STANDALONE:-}" ]]; then
  source_dir="$root/fuzz"
  bin="$build"
else
  source_dir="$root"
  bin="$build/fuzz"
fi

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build" -DVORPAK_FUZZ=ON \
  -DVORPAK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the fuzz targets: the rest of the project is not needed here.
cmake --build "$build" --target pickled_form_fuzz make_pickled_seeds -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
"$bin/make_pickled_seeds" "$work/corpus"

# Crash inputs go to the build directory so they outlive the temporary corpus.
status=0
"$bin/pickled_form_fuzz" "$work/corpus" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=64 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$build/" >"$work/log" 2>&1 || status=$?

if [[ $status -ne 0 ]]; then
  tail -n 60 "$work/log"
  echo "fuzzing failed (exit $status); reproducer under $build/" >&2
  exit "$status"
fi
grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -n 1
grep -E '^Done [0-9]+ runs' "$work/log" | tail -n 1
grep -E '^stat::' "$work/log"
