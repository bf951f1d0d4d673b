#!/usr/bin/env bash
# Builds the Debian package folimo_<version>_<arch>.deb in build-package/ (a release
# build installing under /usr, without the tests), checks it with lintian, which must
# report no error, and prints the package's path. Install it with
#   sudo apt install ./build-package/folimo_*.deb
# scripts/check-package.sh installs it in a fresh Debian 12 root and removes it again.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build-package}

bash "$top/scripts/install-deps.sh"
# Packaging's own tools, when install-deps.sh does not already bring them.
packaging=(dpkg-dev file lintian)
missing=()
for p in "${packaging[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Paths relative to the checkout, so the objects of the test builds are reused.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top}
# Bound at start-up, the tables the loader fills are read-only from then on.
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
      -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" \
      -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro,-z,now" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$build"/folimo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/folimo_*.deb)

# Errors fail the build; warnings are shown.
lintian --fail-on error "$deb" >&2
echo "$deb"
