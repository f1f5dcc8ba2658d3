# Shared by scripts/run and scripts/test: install what a fresh Debian 12 machine lacks, then build.
# shellcheck shell=bash

VL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages the build, the programs and the tests need.
VL_PACKAGES=(
  build-essential cmake pkg-config git ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  libgl-dev libegl-dev libglu1-mesa-dev libgl1-mesa-dri libegl-mesa0 libpng-dev
  libfreetype-dev libfontconfig-dev fonts-liberation2 fonts-urw-base35
  qt6-base-dev qt6-svg-dev libqt6opengl6-dev
  libwmf-dev libemf2svg-dev libjpeg62-turbo-dev libexpat1-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev
  libcli11-dev libssl-dev
  xvfb xauth python3
  ffmpeg webp xdotool imagemagick x11-xserver-utils openbox
)

vl_ensure_packages() {
  local missing=()
  for p in "${VL_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

vl_build() {
  local jobs
  jobs=$(nproc 2>/dev/null || echo 2)
  cmake -S "$VL_ROOT" -B "$VL_ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$VL_ROOT/build" -j "$jobs"
}
