#!/bin/sh
# Stands in for the game program of the demo build.
cd "$(dirname "$0")" || exit 1
echo "Lantern Vale (demo game, build 1)"
cat data/motd.txt
if [ -f windowed_mode.txt ]; then echo "Display: windowed"; else echo "Display: full screen"; fi
echo "Maps installed: $(ls data/maps | tr '\n' ' ')"
