#!/usr/bin/env bash
# Checks a picture of the station's window with rows at work: the green of a passed row, the
# red of a failed one and the blue of one being programmed are in the rows' part of it, below
# the totals (whose boxes are green and red too).
#   scripts/check-station-picture.sh PICTURE.png
set -euo pipefail
picture=$1
echo "$picture: $(identify -format '%wx%h' "$picture") pixels"
for colour in '#2E9E44' '#D32F2F' '#D6E6FF'; do
  count=$(convert "$picture" -crop +0+220 +repage -fill black +opaque "$colour" \
    -fill white -opaque "$colour" -format '%[fx:int(mean*w*h)]' info:)
  if [ "$count" -lt 2000 ]; then
    echo "$picture has almost no $colour ($count pixels): a row is not in its state" >&2
    exit 1
  fi
done
