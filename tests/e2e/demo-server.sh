#!/usr/bin/env bash
# scripts/run's demo server set up with a normal user's login PATH, which has no
# /usr/sbin: it starts, lists its printers and stops.
#   demo-server.sh SOURCE_DIR BACKEND PPD
set -euo pipefail
src=$1 backend=$2 ppd=$3
dir=$(mktemp -d /tmp/quill-demo-XXXXXX)
trap '"$src/tests/support/cups-sandbox" stop "$dir" >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
settings=$(env PATH=/usr/local/bin:/usr/bin:/bin "$src/scripts/demo-server" "$dir/cups" "$backend" "$ppd")
server=$(sed -n 's/^CUPS_SERVER=//p' <<<"$settings")
queues=$(env PATH=/usr/local/bin:/usr/bin:/bin CUPS_SERVER="$server" lpstat -e | sort | tr '\n' ' ')
expected="Colour_Inkjet Fax Laser_Office QUILL_Amber_PDF_Creator "
if [ "$queues" != "$expected" ]; then
    echo "demo server printers: '$queues', expected '$expected'" >&2
    exit 1
fi
grep -q '^QUILL_CUPS_WEB_URL=http://127.0.0.1:[0-9]' <<<"$settings" || { echo "no web address: $settings" >&2; exit 1; }
echo "demo server set up with a login PATH as $(id -un)"
