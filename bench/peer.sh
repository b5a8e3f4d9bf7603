#!/bin/sh
# Peer benchmark on real scans: wendfit against Open3D's screened Poisson
# reconstruction on the same oriented points, in the same run.
#
# The scans are sample meshes of Debian's libcgal-demo (data.tar.gz, folder
# meshes/). bench/peer.py samples oriented points from each one
# area-uniformly (seeded; the face's outward normal), then every method
# meshes the same points, each in its own process under /usr/bin/time:
#   poisson      Open3D's create_from_point_cloud_poisson at DEPTH, no
#                density trimming (its own python process)
#   bicg,schwarz `wendfit --solver …  POINTS FN LEVELS --mesh OUT.ply`, for
#                each solver the binary's --help lists; a binary without
#                --solver runs once, as "wendfit"
# and every mesh is measured against the scan: distances as fractions of the
# scan's box diagonal (mean over area-uniform samples of the mesh; max over
# those and its vertices; exact point-to-triangle distances), triangles,
# boundary edges and connected components. One table at the end (also in
# WORK/table.txt), then each scan's size; ratio = wall time / Poisson's wall
# time on the same points; cpu_s = user + system time. When other jobs share
# the cores, OpenMP threads that spin while waiting inflate wall times,
# Poisson's by up to 10x (cpu_s far above a 1-thread run); the environment
# passes through, so OMP_WAIT_POLICY=passive or THREADS=1 tells.
#
# Installs python3-open3d and libcgal-demo with apt-get when missing (sudo
# when not root). Without libcgal-demo there is nothing to run; without
# Open3D the peer is skipped, wendfit still runs, and nothing is measured.
#
# Usage: bench/peer.sh
# Environment:
#   SIZES     point counts, each COUNT[:LEVELS[:DEPTH]] (default
#             "100000 1000000"; 100000 -> 9 levels, depth 8; 1000000 -> 10
#             levels, depth 10; otherwise floor(log10 COUNT)+4 levels and
#             depth round(2 log10 COUNT)-2)
#   SCANS     meshes/ names without .off (default "diplodocus bear"; also
#             man, camel, ChineseDragon-10kv)
#   BUILD     wendfit's build directory, configured as Release and built
#             here (default build/bench)
#   OLD_WENDFIT  a second wendfit binary, run the same way (its own solvers)
#             with labels old-… (before/after comparisons)
#   METHODS   replaces the detected wendfit runs: "label=options;label=options"
#   EXTRA_METHODS  adds wendfit runs, same form, e.g.
#             EXTRA_METHODS="schwarz-1t=--solver schwarz --threads 1";
#             a label starting with "reconstruct" runs
#             `wendfit-reconstruct [options] POINTS OUT.ply` instead
#             (levels from the data), e.g. EXTRA_METHODS="reconstruct="
#   POISSON   0 to leave out the peer
#   THREADS   threads for wendfit (--threads) and Poisson (n_threads);
#             default: each one's own default (every core)
#   WORK      scratch directory (default build/peer); point files are kept
#             and reused
#   NOISE     when set (e.g. 0.002): every point file gets seeded Gaussian
#             position noise of NOISE x its box diagonal per coordinate and
#             NORMAL_NOISE (default 0.1) per normal component, renormalised
#             (peer.py noisy); distances are still to the clean scan
#   SEED (default 1), MEASURE_SAMPLES (default 500000), PYTHON (default
#   /usr/bin/python3, Debian's, which python3-open3d installs into),
#   NO_INSTALL=1 never calls apt-get.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build/bench}
WORK=${WORK:-$ROOT/build/peer}
SIZES=${SIZES:-"100000 1000000"}
SCANS=${SCANS:-"diplodocus bear"}
SEED=${SEED:-1}
MEASURE_SAMPLES=${MEASURE_SAMPLES:-500000}
PYTHON=${PYTHON:-/usr/bin/python3}
PEER_PY=$ROOT/bench/peer.py
mkdir -p "$WORK/scans" "$WORK/points" "$WORK/out"
WORK=$(cd "$WORK" && pwd)

note() { echo "peer: $*" >&2; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# Installs the given Debian packages when missing; fails when it cannot.
# Installs from the present package lists and refreshes them only when that
# fails (lists missing or out of date).
install() {
  missing=""
  for package in "$@"; do installed "$package" || missing="$missing $package"; done
  [ -z "$missing" ] && return 0
  [ -z "${NO_INSTALL:-}" ] && command -v apt-get >/dev/null || return 1
  if [ "$(id -u)" -eq 0 ]; then sudo=""; elif command -v sudo >/dev/null; then sudo=sudo; else return 1; fi
  note "installing from Debian:$missing (log: $WORK/apt.log)"
  apt="$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300"
  # shellcheck disable=SC2086
  $apt install -y --no-install-recommends $missing >>"$WORK/apt.log" 2>&1 ||
    { $apt update >>"$WORK/apt.log" 2>&1 && $apt install -y --no-install-recommends $missing >>"$WORK/apt.log" 2>&1; }
}

# "<wall s> <peak KB> <cpu s>" of a command; its output goes to LOG.
timed() {
  log=$1
  shift
  status=0
  /usr/bin/time -f "%e %M %U %S" -o "$log.time" "$@" </dev/null >"$log" 2>&1 || status=$?
  tail -n 1 "$log.time" | awk '{ printf "%s %s %.2f", $1, $2, $3 + $4 }'
  return $status
}

field() { echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"; }

# Field 2 (levels) or 3 (Poisson depth) of COUNT[:LEVELS[:DEPTH]], with the
# defaults the header describes.
size_setting() {
  echo "$1" | awk -F: -v k="$2" '{
    n = $1; l = log(n) / log(10)
    levels = n == 100000 ? 9 : n == 1000000 ? 10 : int(l) + 4
    depth = n == 100000 ? 8 : n == 1000000 ? 10 : int(2 * l - 1.5)
    if (NF >= 2 && $2 != "") levels = $2
    if (NF >= 3 && $3 != "") depth = $3
    print k == 2 ? levels : depth }'
}

if ! install libcgal-demo; then
  echo "peer benchmark skipped: the scans come from Debian's libcgal-demo, which is not installed and could not be installed (see $WORK/apt.log)"
  exit 0
fi
have_open3d=1
if ! install python3-open3d || ! "$PYTHON" -c 'import open3d' 2>/dev/null; then
  have_open3d=0
  echo "screened Poisson skipped and meshes not measured: $PYTHON cannot import open3d (Debian package python3-open3d; install log: $WORK/apt.log)"
  install python3-numpy || true
fi
if ! "$PYTHON" -c 'import numpy' 2>/dev/null; then
  echo "peer benchmark skipped: no numpy for $PYTHON to sample the scans (Debian: python3-numpy)"
  exit 0
fi
run_poisson=$have_open3d
[ "${POISSON:-1}" = 0 ] && run_poisson=0

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DWENDFIT_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target wendfit wendfit-reconstruct -j "$(nproc)" >/dev/null
WENDFIT=$BUILD/wendfit

# One "label<TAB>binary<TAB>options" line per wendfit run.
detected() {
  if "$2" --help 2>&1 | grep -q -- '--solver'; then
    printf '%sbicg\t%s\t--solver bicg\n%sschwarz\t%s\t--solver schwarz\n' "$1" "$2" "$1" "$2"
  else
    printf '%swendfit\t%s\t\n' "$1" "$2"
  fi
}
listed() {
  echo "$1" | tr ';' '\n' | while IFS= read -r entry; do
    if [ -n "$entry" ]; then printf '%s\t%s\t%s\n' "${entry%%=*}" "$WENDFIT" "${entry#*=}"; fi
  done
}
{
  if [ -n "${METHODS:-}" ]; then listed "$METHODS"; else detected "" "$WENDFIT"; fi
  if [ -n "${OLD_WENDFIT:-}" ]; then detected old- "$OLD_WENDFIT"; fi
  listed "${EXTRA_METHODS:-}"
} >"$WORK/methods"

tarball=$(dpkg -L libcgal-demo | grep '/data\.tar\.gz$' | head -n 1)
thread_option="" poisson_threads=-1
if [ -n "${THREADS:-}" ]; then thread_option="--threads $THREADS" poisson_threads=$THREADS; fi
row() { printf '%-18s %8s %-14s %4s %8s %8s %8s %6s %9s %9s %9s %5s %5s  %s\n' "$@" >>"$WORK/table.txt"; }
: >"$WORK/table.txt"
: >"$WORK/scans.txt"
row input points method L/d wall_s cpu_s peak_MB ratio mean/diag max/diag triangles bnd comps note
failed=0

for scan in $SCANS; do
  mesh="$WORK/scans/$scan.off"
  if [ ! -f "$mesh" ]; then
    if ! tar -xzf "$tarball" -C "$WORK/scans" "data/meshes/$scan.off" 2>/dev/null; then
      note "no scan $scan in $tarball (skipped)"
      continue
    fi
    mv "$WORK/scans/data/meshes/$scan.off" "$mesh"
  fi
  if [ $have_open3d = 1 ]; then
    echo "scan $scan: $("$PYTHON" "$PEER_PY" describe "$mesh")" >>"$WORK/scans.txt"
  fi
  for size in $SIZES; do
    count=${size%%:*}
    levels=$(size_setting "$size" 2) depth=$(size_setting "$size" 3)
    points="$WORK/points/$scan-$count-s$SEED.ply"
    if [ ! -f "$points" ]; then
      result=$(timed "$points.log" "$PYTHON" "$PEER_PY" sample "$mesh" "$count" "$SEED" "$points.part") ||
        { note "sampling $scan failed, see $points.log"; exit 1; }
      mv "$points.part" "$points"
      note "$scan $count: sampled in ${result%% *} s"
    fi
    if [ -n "${NOISE:-}" ]; then
      clean=$points
      points="$WORK/points/$scan-$count-s$SEED-n$NOISE-${NORMAL_NOISE:-0.1}.ply"
      if [ ! -f "$points" ]; then
        "$PYTHON" "$PEER_PY" noisy "$clean" "$NOISE" "${NORMAL_NOISE:-0.1}" "$SEED" "$points.part" >"$points.log" ||
          { note "adding noise to $scan failed, see $points.log"; exit 1; }
        mv "$points.part" "$points"
      fi
    fi
    # One "label setting wall KB cpu mesh note" line per run; wall is
    # "failed" for a run that failed.
    poisson_wall=""
    runs=""
    if [ $run_poisson = 1 ]; then
      out="$WORK/out/$scan-$count${NOISE:+-n$NOISE}-poisson.ply"
      if result=$(timed "$out.log" "$PYTHON" "$PEER_PY" poisson "$points" "$depth" "$out" "$poisson_threads"); then
        # shellcheck disable=SC2086
        set -- $result
        poisson_wall=$1
        inner=$(field reconstruction_s "$(cat "$out.log")")
        runs="poisson d$depth $result $out reconstruction ${inner} s"
        note "$scan $count: poisson depth $depth: $1 s wall ($inner s reconstructing), $(($2 / 1024)) MB"
      else
        runs="poisson d$depth failed 0 - $out see ${out}.log"
        failed=1
      fi
    fi
    while IFS="$(printf '\t')" read -r label binary options; do
      out="$WORK/out/$scan-$count${NOISE:+-n$NOISE}-$label.ply"
      # A label starting with "reconstruct" runs wendfit-reconstruct, which
      # chooses its own levels.
      setting=L$levels status=0
      case $label in
        reconstruct*) setting=auto
          # shellcheck disable=SC2086
          result=$(timed "$out.log" "$BUILD/wendfit-reconstruct" $options $thread_option "$points" "$out") ||
            status=$? ;;
        *)
          # shellcheck disable=SC2086
          result=$(timed "$out.log" "$binary" $options $thread_option "$points" "${out%.ply}.fn" "$levels" \
            --mesh "$out") || status=$? ;;
      esac
      if [ $status = 0 ]; then
        # shellcheck disable=SC2086
        set -- $result
        runs="$runs
$label $setting $result $out -"
        note "$scan $count: $label $levels levels: $1 s wall, $(($2 / 1024)) MB"
      else
        runs="$runs
$label $setting failed 0 - $out see ${out}.log"
        failed=1
      fi
    done <"$WORK/methods"
    input=$scan${NOISE:++n$NOISE}
    echo "$runs" | while read -r label setting wall kb cpu out extra; do
      [ -n "$label" ] || continue
      if [ "$wall" = failed ]; then
        row "$input" "$count" "$label" "$setting" - - - - - - - - - "failed, $extra"
        continue
      fi
      ratio=-
      [ -n "$poisson_wall" ] && ratio=$(awk -v a="$wall" -v b="$poisson_wall" 'BEGIN { printf "%.2f", a / b }')
      measured="triangles=- mean=- max=- boundary=- components=-"
      if [ $have_open3d = 1 ]; then
        if result=$(timed "$out.measure" "$PYTHON" "$PEER_PY" measure "$mesh" "$out" "$MEASURE_SAMPLES" "$SEED"); then
          measured=$(cat "$out.measure")
          note "$scan $count: measured $label in ${result%% *} s"
        else
          note "$scan $count: measuring $label failed, see $out.measure"
        fi
      fi
      row "$input" "$count" "$label" "$setting" "$wall" "$cpu" $((kb / 1024)) "$ratio" \
        "$(field mean "$measured")" "$(field max "$measured")" "$(field triangles "$measured")" \
        "$(field boundary "$measured")" "$(field components "$measured")" "${extra#-}"
    done
  done
done

echo
cat "$WORK/table.txt" "$WORK/scans.txt"
exit $failed
