#!/usr/bin/env bash
# ImageMagick's convert under the benchmark's policy (policy.xml beside this script):
# Debian's own forbids writing PDF and caps the pixel cache far below what hundreds of
# photographs need. The policy is swapped in a private mount namespace, so the
# machine's own stays as it is; that needs root.
set -euo pipefail
policy="$(cd "$(dirname "$0")" && pwd)/policy.xml"
if [ "$(id -u)" -ne 0 ]; then
    echo "convert.sh: needs root to use the benchmark's ImageMagick policy" >&2
    exit 1
fi
exec unshare -m -- sh -c 'mount --bind "$0" /etc/ImageMagick-6/policy.xml && exec convert "$@"' \
    "$policy" "$@"
