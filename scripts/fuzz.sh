#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# all at once, from the seed corpus in fuzz/corpus/<target>. Inputs that once
# crashed a target are kept in fuzz/regressions/<target> and replayed first.
#   scripts/fuzz.sh [seconds per target, default 20]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-20}
build=build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DTOLN_FUZZ=ON -DTOLN_TESTS=OFF -DTOLN_BENCH=OFF >/dev/null
cmake --build "$build"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pids=""
for program in "$build"/fuzz/*_fuzz; do
  name=$(basename "$program")
  if [ -d "fuzz/regressions/$name" ]; then
    "$program" fuzz/regressions/"$name"/* >"$work/$name.replay.log" 2>&1 ||
      { cat "$work/$name.replay.log"; echo "fuzz: $name fails a kept regression input" >&2; exit 1; }
  fi
  # The seed corpus is read-only: new inputs go to a scratch copy.
  mkdir -p "$work/$name"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/$name/"
  # Bundles need room to nest past the nesting bound in several ways at once.
  max_len=""
  [ "$name" = parse_bundle_fuzz ] && max_len=-max_len=65536
  "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 $max_len -artifact_prefix="$work/$name-" \
    "$work/$name" >"$work/$name.log" 2>&1 &
  pids="$pids $!:$name"
done

failed=0
for entry in $pids; do
  pid=${entry%%:*}
  name=${entry#*:}
  if wait "$pid"; then
    echo "fuzz: $name: $(grep -o 'Done [0-9]* runs' "$work/$name.log" || echo done)"
  else
    failed=1
    tail -n 40 "$work/$name.log"
    for artifact in "$work/$name"-*; do
      [ -e "$artifact" ] && echo "fuzz: $name found $(basename "$artifact"):" && od -c "$artifact" | head -n 20
    done
    echo "fuzz: $name failed" >&2
  fi
done
exit $failed
