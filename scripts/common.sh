# Shared by scripts/run and scripts/test: install what a fresh Debian 12 machine lacks, then build.
# shellcheck shell=bash

VL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages the build, the programs and the tests need.
VL_PACKAGES=(
  build-essential cmake pkg-config git ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  libgl-dev libegl-dev libglu1-mesa-dev libgl1-mesa-dri libegl-mesa0 libpng-dev
  libfreetype-dev libfontconfig-dev fonts-liberation2 fonts-urw-base35
  fonts-dejavu-core fonts-dejavu-extra fonts-crosextra-carlito fonts-crosextra-caladea fonts-comic-neue
  qt6-base-dev qt6-svg-dev libqt6opengl6-dev
  libwmf-dev libemf2svg-dev libjpeg62-turbo-dev libexpat1-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libcli11-dev libssl-dev
  liblo-dev liblo-tools
  xvfb xauth python3
  ffmpeg webp xdotool imagemagick x11-xserver-utils openbox
  vcdimager dvdauthor mediainfo mkvtoolnix
  dpkg-dev lintian desktop-file-utils appstream shared-mime-info libglib2.0-bin man-db
  bash-completion bubblewrap
  # scripts/format: the house layout, checked by scripts/test.
  clang-format
  # Batch export: GNU parallel, and a one-node Slurm cluster the tests start in a folder of their own.
  parallel munge slurmctld slurmd slurm-client
  librtmidi-dev ableton-link-dev libasio-dev
)

# Runs a command with its output kept in LOG; on failure shows the log's last lines and fails.
vl_logged() {
  local log="$1"
  shift
  if ! "$@" >>"$log" 2>&1; then
    echo "== failed; the last lines of $log:" >&2
    tail -n 25 "$log" >&2
    return 1
  fi
}

vl_ensure_packages() {
  local missing=()
  for p in "${VL_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local log="$VL_ROOT/build/packages.log"
    mkdir -p "$VL_ROOT/build"
    : >"$log"
    echo "== installing ${#missing[@]} packages: ${missing[*]} (log: build/packages.log)"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    vl_logged "$log" $sudo apt-get update -q
    vl_logged "$log" env DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# Shows cmake's progress as one line that updates in place (a line per quarter when the output is
# no terminal) and keeps every line of it in LOG.
vl_progress() {
  local log="$1" label="$2" line pct shown=-1
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    [[ $line =~ ^\[\ *([0-9]+)%\] ]] || continue
    pct=${BASH_REMATCH[1]}
    if [ -t 1 ]; then
      printf '\r== %s: %3d%%' "$label" "$pct"
    elif [ $((pct / 25)) -gt $((shown / 25)) ]; then
      printf '== %s: %d%%\n' "$label" "$pct"
    fi
    shown=$pct
  done
  [ -t 1 ] && [ "$shown" -ge 0 ] && printf '\n'
  return 0
}

# Configures build/ and builds the targets named (everything when none is): scripts/run builds the
# two programs and their data, scripts/test the rest in the same folder. The compiler's output goes
# to build/build.log.
vl_build() {
  local jobs log="$VL_ROOT/build/build.log"
  jobs=$(nproc 2>/dev/null || echo 2)
  mkdir -p "$VL_ROOT/build"
  : >"$log"
  echo "== building ${*:-everything} (compiler output: build/build.log)"
  vl_logged "$log" cmake -S "$VL_ROOT" -B "$VL_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  local targets=()
  for t in "$@"; do targets+=(--target "$t"); done
  local status=0
  set -o pipefail
  cmake --build "$VL_ROOT/build" -j "$jobs" "${targets[@]}" 2>&1 | vl_progress "$log" building || status=$?
  if [ "$status" -ne 0 ]; then
    echo "== the build failed; its errors (all of it is in build/build.log):" >&2
    grep -E -m 20 "error|Error" "$log" >&2 || tail -n 25 "$log" >&2
    return "$status"
  fi
}
