#!/bin/sh
# Runs the three tools of two builds on the same input and compares every
# output byte for byte: wendfit's result file, console transcript and mesh,
# wendfit-mesh's mesh, and wendfit-eval's answers at query points spread over
# the box. For changes that must not alter any output (refactoring).
# Usage: bench/compare_tools.sh OLD_BUILD NEW_BUILD INPUT LEVELS
# ("Fitting time is N sec." and the timing fields of the mesh summary
# depend on the machine and are masked.)
set -eu
old=$(cd "$1" && pwd); new=$(cd "$2" && pwd); input=$3; levels=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Query points on a lattice through the rescaled box [-10, 10]^3 and beyond.
awk 'BEGIN { for (i = 0; i < 1000; ++i) printf "%g %g %g\n", -12 + 2.4*(i%10), -12 + 2.4*int(i/10)%24, -12 + 2.4*int(i/100) }' > "$work/queries.txt"
for side in old new; do
  eval build=\$$side
  mkdir "$work/$side"
  "$build/wendfit" "$input" "$work/$side/fit.fn" "$levels" --mesh "$work/$side/fit.ply" \
    > "$work/$side/fit.out" 2> "$work/$side/fit.err"
  "$build/wendfit-mesh" "$work/$side/fit.fn" "$work/$side/mesh.obj" --normals \
    > "$work/$side/mesh.out" 2> "$work/$side/mesh.err"
  "$build/wendfit-eval" "$work/$side/fit.fn" "$work/queries.txt" > "$work/$side/eval.out"
  sed -i 's/Fitting time is [0-9]* sec/Fitting time is X sec/' "$work/$side/fit.out"
  sed -i 's/, [0-9.]* s$//; s|'"$work/$side"'||' "$work/$side/fit.err" "$work/$side/mesh.err"
done
status=0
for file in fit.fn fit.out fit.err fit.ply mesh.obj mesh.out mesh.err eval.out; do
  if cmp -s "$work/old/$file" "$work/new/$file"; then
    echo "$file identical ($(wc -c < "$work/new/$file") bytes)"
  else
    echo "$file DIFFERS"; status=1
  fi
done
exit $status
