#!/usr/bin/env bash
# Installs the build into a scratch prefix and makes both packages, then uses
# what was installed the way an operator and a player would: publish a build
# with the installed lvpublish, serve it, patch a game folder with the
# installed lvpatch, and start the installed launcher in that folder.
# Usage: check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
scratch=$(mktemp -d)
nginx_prefix=""
cleanup() {
  [ -n "$nginx_prefix" ] && "$source/scripts/nginx-serve" --stop "$nginx_prefix" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
have_ui=0
[ -x "$build/bin/NoxPatch2011.exe" ] && have_ui=1

# 1. cmake --install: the game folder's programs side by side, tools in bin/.
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
expected="bin/lvpatch bin/lvpublish"
[ "$have_ui" = 1 ] && expected="$expected game/NoxOptions.exe game/NoxPatch2011.exe"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$actual" = "$expected" ] || fail "installed files: '$actual', expected '$expected'"
"$prefix/bin/lvpatch" --version | grep -q '^lvpatch [0-9]' || fail "installed lvpatch --version"

# 2. The installed tools do the operator's job end to end.
mkdir -p "$scratch/build-1/data" "$scratch/server" "$scratch/game"
printf '#!/bin/sh\necho play\n' >"$scratch/build-1/game.sh"
printf 'map' >"$scratch/build-1/data/vale.map"
"$prefix/bin/lvpublish" "$scratch/build-1" "$scratch/server" --game-exe game.sh >/dev/null ||
  fail "installed lvpublish"
read -r port nginx_prefix <<<"$("$source/scripts/nginx-serve" --background "$scratch/server")"
echo "http://127.0.0.1:$port/lanternvale_patch/" >"$scratch/game/patch_server_address.txt"
out=$("$prefix/bin/lvpatch" --dir "$scratch/game") || fail "installed lvpatch run: $out"
[ "$(cat "$scratch/game/data/vale.map")" = map ] || fail "the game folder was not patched"
grep -q '^game: game.sh$' <<<"$out" || fail "lvpatch did not name the game program"

# 3. The installed launcher starts in that game folder; without the
# documented variable the terminal shows only the launcher's own messages.
if [ "$have_ui" = 1 ]; then
  cp "$prefix/game/NoxPatch2011.exe" "$prefix/game/NoxOptions.exe" "$scratch/game/"
  run_launcher() {
    (cd "$scratch/game" && env -u XDG_RUNTIME_DIR QT_QPA_PLATFORM=offscreen "$@" \
      timeout 10 ./NoxPatch2011.exe >/dev/null 2>"$scratch/launcher.err") || true
  }
  run_launcher LV_WEBVIEW_DIAGNOSTICS=1
  grep -q 'XDG_RUNTIME_DIR' "$scratch/launcher.err" ||
    fail "LV_WEBVIEW_DIAGNOSTICS=1 did not show Qt's messages: $(cat "$scratch/launcher.err")"
  run_launcher LV_WEBVIEW_DIAGNOSTICS=
  if grep -v '^NoxPatch2011: ' "$scratch/launcher.err" | grep -q .; then
    fail "the launcher printed others' diagnostics: $(head -5 "$scratch/launcher.err")"
  fi
fi

# 4. Packages: a .tar.gz of the game folder and a .deb of the tools.
(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/packages" >/dev/null) ||
  fail "cpack"
tgz=$(ls "$scratch"/packages/lanternvale-game-*.tar.gz)
deb=$(ls "$scratch"/packages/lanternvale-tools_*.deb)
listing=$(tar tzf "$tgz" | grep -v '/$' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$have_ui" = 1 ]; then
  [ "$listing" = "game/NoxOptions.exe game/NoxPatch2011.exe" ] || fail "tar.gz holds '$listing'"
fi
dpkg-deb -f "$deb" Package | grep -qx lanternvale-tools || fail "deb package name"
dpkg-deb -f "$deb" Depends | grep -q libcurl || fail "deb depends: $(dpkg-deb -f "$deb" Depends)"
debfiles=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -v '/$' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$debfiles" = "./usr/bin/lvpatch ./usr/bin/lvpublish" ] || fail "deb holds '$debfiles'"
dpkg-deb -x "$deb" "$scratch/deb-root"
"$scratch/deb-root/usr/bin/lvpatch" --version >/dev/null || fail "packaged lvpatch does not run"
"$scratch/deb-root/usr/bin/lvpublish" --help >/dev/null || fail "packaged lvpublish does not run"
echo "install and packages: ok"
