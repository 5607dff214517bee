#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG (packaging/icons); run after editing it.
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
command -v rsvg-convert >/dev/null || { echo "rsvg-convert is not installed (bash scripts/install-deps.sh --test)" >&2; exit 2; }
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" com.orvane.Kelvaro64.svg -o "com.orvane.Kelvaro64-$size.png"
done
echo "rendered $(ls com.orvane.Kelvaro64-*.png | wc -l) sizes"
