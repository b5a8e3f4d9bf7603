#!/bin/sh
# Ground-truth benchmark of points -> function -> mesh.
#
# For every shape (sphere, torus, bend) and point count, samples oriented
# points from the exact surface, fits them with `wendfit`, extracts the mesh
# with `wendfit-mesh --like` (in the input's coordinates, at the default
# resolution) and measures the mesh against the exact surface with
# bench/mesh_accuracy.cpp. Prints one table row per run: distances as
# percentages of the shape's box diagonal, topology, and wall time and peak
# memory of the fit and of the extraction (separate processes, so each
# stage's memory is its own).
#
# Usage: bench/mesh_ground_truth.sh [COUNT:LEVELS ...]
#   default: 100000:8 1000000:9
# Environment: BUILD (release build directory, default build/release),
#   WORK (scratch directory, default build/mesh-bench), SHAPES (default
#   "sphere torus bend"), THREADS (extraction threads, default: all cores),
#   MESH_OPTIONS (extra wendfit-mesh options, e.g. "--resolution 300").
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/release}
WORK=${WORK:-$ROOT/build/mesh-bench}
SHAPES=${SHAPES:-"sphere torus bend"}
RUNS=${*:-"100000:8 1000000:9"}
MESH_OPTIONS=${MESH_OPTIONS:-}
THREAD_OPTION=""
if [ -n "${THREADS:-}" ]; then THREAD_OPTION="--threads $THREADS"; fi

mkdir -p "$WORK"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DWENDFIT_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target wendfit wendfit-mesh wendfit_lib -j >/dev/null
g++ -O2 -std=c++17 -fopenmp -ffp-contract=off -I"$ROOT/src" -I"$ROOT/include" "$ROOT/bench/mesh_accuracy.cpp" \
  "$BUILD/libwendfit.a" -o "$WORK/mesh_accuracy"

# "<seconds> <peak KB>" of a command, its own output to a log.
timed() {
  log=$1
  shift
  /usr/bin/time -f "%e %M" -o "$log.time" "$@" >"$log" 2>&1
  cat "$log.time"
}

printf '%-7s %8s %3s %11s %11s %5s %4s %4s %5s %9s %9s %9s %9s %8s\n' \
  shape points L mean% max% comps wt man euler fit_s fit_MB mesh_s mesh_MB triangles
for run in $RUNS; do
  count=${run%%:*}
  levels=${run##*:}
  for shape in $SHAPES; do
    base="$WORK/$shape-$count"
    [ -f "$base.pts" ] || "$WORK/mesh_accuracy" sample "$shape" "$count" 1 "$base.pts"
    set -- $(timed "$base.fit.log" "$BUILD/wendfit" "$base.pts" "$base.fn" "$levels")
    fit_s=$1 fit_kb=$2
    # shellcheck disable=SC2086
    set -- $(timed "$base.mesh.log" "$BUILD/wendfit-mesh" "$base.fn" "$base.ply" --like "$base.pts" \
      $THREAD_OPTION $MESH_OPTIONS)
    mesh_kb=$2
    # The extraction's own time (its summary line), without reading the files.
    mesh_s=$(sed -n 's/.*, \([0-9.]*\) s$/\1/p' "$base.mesh.log")
    line=$("$WORK/mesh_accuracy" measure "$shape" "$base.ply")
    field() { echo "$line" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
    printf '%-7s %8s %3s %11s %11s %5s %4s %4s %5s %9s %9d %9s %9d %8s\n' \
      "$shape" "$count" "$levels" "$(field mean)" "$(field max)" "$(field components)" \
      "$(field watertight)" "$(field manifold)" "$(field euler)" "$fit_s" $((fit_kb / 1024)) \
      "$mesh_s" $((mesh_kb / 1024)) "$(field triangles)"
  done
done
