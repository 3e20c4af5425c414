#!/usr/bin/env bash
# Installs the Debian packages Quenlow needs, when any is missing. Sourced by
# scripts/test and scripts/demo; quick when everything is present.
quenlow_packages=(
  build-essential cmake ninja-build pkg-config
  libpugixml-dev libpoco-dev zlib1g-dev libisal-dev libcurl4-openssl-dev
  qt6-base-dev qt6-webengine-dev qt6-webchannel-dev libqt6webenginecore6-bin
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth clang libclang-rt-14-dev curl aria2 openssl ccache clang-format
  desktop-file-utils appstream shared-mime-info libglib2.0-bin xdg-utils dpkg-dev file groff-base
)

quenlow_install_deps() {
  local missing=()
  for p in "${quenlow_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Runs Qt WebEngine headless and as root (its sandbox refuses root).
quenlow_headless_env() {
  export QTWEBENGINE_DISABLE_SANDBOX=1
  export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:---no-sandbox --disable-gpu}"
  if [ -z "${DISPLAY:-}" ]; then export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"; fi
}
