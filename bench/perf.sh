#!/bin/sh
# Fit-and-extract benchmark: for every point count, samples a torus
# (bench/mesh_accuracy.cpp), runs `wendfit --stats … 10 --mesh` once on one
# thread and once on every core, prints each run's per-phase times (read,
# octree, every level's evaluation, selection, kd-tree, assembly and solve
# with iterations, write, extraction) and peak memory, and checks that the
# result file and the mesh are byte-for-byte the same for both thread counts.
#
# Usage: bench/perf.sh [COUNT ...]      default: 100000 1000000 4000000
# Environment: BUILD (release build directory, default build/bench),
#   WORK (scratch directory, default build/perf), LEVELS (default 10),
#   SHAPE (default torus).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/bench}
WORK=${WORK:-$ROOT/build/perf}
LEVELS=${LEVELS:-10}
SHAPE=${SHAPE:-torus}
COUNTS=${*:-"100000 1000000 4000000"}
CORES=$(nproc)

mkdir -p "$WORK"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DWENDFIT_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target wendfit wendfit_lib -j "$CORES" >/dev/null
[ -x "$WORK/mesh_accuracy" ] || g++ -O2 -std=c++17 -fopenmp -ffp-contract=off -I"$ROOT/src" \
  "$ROOT/bench/mesh_accuracy.cpp" "$BUILD/libwendfit.a" -o "$WORK/mesh_accuracy"

for count in $COUNTS; do
  base="$WORK/$SHAPE-$count"
  [ -f "$base.pts" ] || "$WORK/mesh_accuracy" sample "$SHAPE" "$count" 1 "$base.pts"
  for threads in 1 "$CORES"; do
    run="$base-t$threads"
    /usr/bin/time -f "%e %M" -o "$run.time" "$BUILD/wendfit" --stats --threads "$threads" \
      "$base.pts" "$run.fn" "$LEVELS" --mesh "$run.ply" >"$run.out" 2>"$run.err"
    set -- $(cat "$run.time")
    printf '\n== %s points, %s levels, %s thread(s): %s s wall, peak %s MiB\n' \
      "$count" "$LEVELS" "$threads" "$1" "$(($2 / 1024))"
    cat "$run.err"
  done
  if cmp -s "$base-t1.fn" "$base-t$CORES.fn" && cmp -s "$base-t1.ply" "$base-t$CORES.ply"; then
    echo "== result file and mesh identical for 1 and $CORES threads"
  else
    echo "== RESULTS DIFFER between 1 and $CORES threads"
    exit 1
  fi
done
