#!/usr/bin/env bash
# Every icon must read on a light menu and on a dark one. Each SVG is drawn
# at 16 px with rsvg-convert on white and on dark grey (#2b2b2b); a pixel
# that comes out the same on both is the icon's own, opaque colour. The most
# common of those colours (to within 32 levels a channel) is the glyph's
# dominant colour; its contrast ratio (WCAG 2) with each background must be
# at least 3:1, and it must cover at least 24 of the 256 pixels, so that a
# speck of colour cannot pass for a glyph.
#
# Usage: icon_contrast_test.sh ICON_SOURCE_DIR [RSVG_CONVERT]
set -euo pipefail
icons=$1 rsvg=${2:-rsvg-convert}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
for svg in "$icons"/*/*.svg; do
  for background in '#ffffff' '#2b2b2b'; do
    "$rsvg" --width 16 --height 16 --background-color "$background" "$svg" |
      pngtopnm -plain >"$work/${background#\#}.ppm"
  done
  verdict=$(awk -v name="$(basename "$svg" .svg)" '
    function linear(c) { c /= 255; return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ^ 2.4 }
    function luminance(r, g, b) { return 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b) }
    function ratio(a, b) { return a > b ? (a + 0.05) / (b + 0.05) : (b + 0.05) / (a + 0.05) }
    function abs(x) { return x < 0 ? -x : x }
    # Plain PPM: "P3", width, height, maximum, then r g b per pixel.
    FNR == 1 { file++; n = 0 }
    { for (i = 1; i <= NF; i++) { token[file, n++] = $i } }
    END {
      pixels = token[1, 1] * token[1, 2]
      for (p = 0; p < pixels; p++) {
        opaque = 1
        for (c = 0; c < 3; c++) {
          on_light[c] = token[1, 4 + 3 * p + c]
          opaque = opaque && abs(on_light[c] - token[2, 4 + 3 * p + c]) <= 8
        }
        if (!opaque) continue
        bin = int(on_light[0] / 32) "," int(on_light[1] / 32) "," int(on_light[2] / 32)
        count[bin]++
        for (c = 0; c < 3; c++) sum[bin, c] += on_light[c]
      }
      best = ""
      for (bin in count) if (best == "" || count[bin] > count[best]) best = bin
      if (best == "") { printf "FAIL %s: no opaque pixel at all\n", name; exit }
      for (c = 0; c < 3; c++) colour[c] = sum[best, c] / count[best]
      l = luminance(colour[0], colour[1], colour[2])
      light = ratio(l, 1); dark = ratio(l, luminance(43, 43, 43))
      ok = light >= 3 && dark >= 3 && count[best] >= 24
      printf "%s %s: dominant #%02x%02x%02x on %d px, contrast %.2f on white, %.2f on #2b2b2b\n",
        ok ? "ok" : "FAIL", name, colour[0], colour[1], colour[2], count[best], light, dark
    }' "$work/ffffff.ppm" "$work/2b2b2b.ppm")
  echo "$verdict"
  [[ "$verdict" == ok* ]] || failures=$((failures + 1))
done
echo "$failures failed"
[ "$failures" -eq 0 ]
