#!/usr/bin/env bash
# Builds the Debian package folimo_<version>_<arch>.deb in build-package/ (a release
# build installing under /usr, without the tests), checks it with lintian, which must
# report no error, and prints the package's path. Install it with
#   sudo apt install ./build-package/folimo_*.deb
# scripts/check-package.sh installs it in a fresh Debian 12 root and removes it again.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build-package}

# The packaging tools (dpkg-dev, file, lintian) come with the rest.
bash "$top/scripts/install-deps.sh"
# Paths relative to the checkout, so the objects of the test builds are reused.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
# Bound at start-up, the tables the loader fills are read-only from then on.
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DFOLIMO_WERROR="${FOLIMO_WERROR:-OFF}" \
      -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" \
      -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$build"/folimo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/folimo_*.deb)

# Errors fail the build; warnings are shown.
lintian --fail-on error "$deb" >&2
echo "$deb"
