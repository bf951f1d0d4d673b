#!/usr/bin/env bash
# Builds the Debian package folimo_<version>_<arch>.deb in build-package/ (a release
# build installing under /usr, without the tests), checks it with lintian, which must
# report no error, and prints the package's path. Install it with
#   sudo apt install ./build-package/folimo_*.deb
# scripts/check-package.sh installs it in a fresh Debian 12 root and removes it again.
# The stages are reported on stderr; stdout holds only the path.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build=${BUILD_DIR:-$top/build-package}
# Also makes paths relative to the checkout, so the objects of the test builds are reused.
source "$top/scripts/lib-build.sh"

# The packaging tools (dpkg-dev, file, lintian) come with the rest.
install_deps
# Bound at start-up, the tables the loader fills are read-only from then on.
configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DFOLIMO_WERROR="${FOLIMO_WERROR:-OFF}" \
          -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" \
          -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro,-z,now"
build_target "$build" all "building the programs for the package..."
say "making the Debian package ..."
rm -f "$build"/folimo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/folimo_*.deb)

# Errors fail the build; warnings are shown.
say "checking ${deb#"$top"/} with lintian ..."
lintian --fail-on error "$deb" >&2
echo "$deb"
