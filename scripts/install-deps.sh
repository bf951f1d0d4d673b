#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache
    libgtest-dev libgmock-dev
    libqpdf-dev qpdf
    libturbojpeg0-dev libjpeg62-turbo-dev libpng-dev zlib1g-dev libdeflate-dev
    libsane-dev sane-utils libtiff-dev libgif-dev libwebp-dev libraw-dev libjbig-dev libheif-dev
    libheif-examples libavif-bin desktop-file-utils libxml2-utils libglib2.0-bin util-linux
    libharfbuzz-dev libfreetype-dev libfontconfig-dev fonts-wqy-zenhei
    poppler-utils libpoppler-qt6-dev qt6-image-formats-plugins
    libtesseract-dev tesseract-ocr tesseract-ocr-eng tesseract-ocr-chi-sim tesseract-ocr-osd
    img2pdf imagemagick time bc
    clang-14 libclang-rt-14-dev clang-format clang-tidy clazy jbigkit-bin libtiff-tools
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev libqt6opengl6-dev qt6-qpa-plugins
    qt6-l10n-tools qt6-translations-l10n python3
    xvfb xauth x11-utils xdotool
    fonts-dejavu-core
    dpkg-dev file lintian
)

# One query for all of them: a call per package costs seconds on every quick run.
declare -A installed=()
while read -r name; do
    installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ {print $1}' || true)
missing=()
for p in "${packages[@]}"; do
    [ -n "${installed[$p]:-}" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "install-deps.sh: installing the Debian packages Folimo needs to build, test and" \
     "package it (first run only${SUDO:+, with sudo}): ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# What apt and dpkg report goes to stderr: the scripts calling this one keep stdout for
# the path they print.
$SUDO apt-get update -qq >&2
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
