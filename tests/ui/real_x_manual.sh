#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The user manual, from the build folder and from an installed copy (cmake --install
# into a temporary prefix): both pages and their pictures are there, and under a real
# X server (Xvfb) Help -> User Manual of the installed window hands the page of the
# current language to xdg-open (a recording stand-in first in PATH), in English and,
# after Language -> Chinese by keyboard, in Chinese; the language is then saved in the
# user's own config.ini. Run by CTest with the build folder.
set -euo pipefail
source "$(dirname "$0")/x_window.sh"

# Inside the X server: real_x_manual.sh WORK --inside
run() {
  local work=$1
  export QT_QPA_PLATFORM=xcb PATH="$work/fake:$PATH"
  unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_DESKTOP_SESSION_ID
  "$work/usr/bin/chipwright" --simulate &
  program=$!
  trap 'kill $program 2> /dev/null || true' RETURN
  window=$(window_of "$program")
  xdotool windowfocus --sync "$window"
  # Menus by their mnemonics: Help(&H) -> User Manual(&U), Language(&L) -> 中文简体(&C).
  manual() {
    xdotool key alt+h
    sleep 0.5
    xdotool key u
    for _ in $(seq 50); do
      grep -q "$1" "$work/opened" 2> /dev/null && return 0
      sleep 0.1
    done
    echo "xdg-open was not handed $1"
    cat "$work/opened" 2> /dev/null || true
    return 1
  }
  manual "^file://$work/usr/lib/chipwright/manual/manual_en.html$"
  xdotool key alt+l
  sleep 0.5
  xdotool key c
  sleep 0.5
  manual "^file://$work/usr/lib/chipwright/manual/manual_zh.html$"
  grep -q "^DefaultLanguage=SimpleChinese" "$work/config/chipwright/config.ini" ||
    { echo "the language was not saved in the user's config.ini"; return 1; }
}
if [ "${2:-}" = "--inside" ]; then
  run "$1"
  exit
fi

build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each page and every picture it shows, in the build folder and in the install tree.
cmake --install "$build" --prefix "$work/usr" > /dev/null
for folder in "$build/bin/manual" "$work/usr/lib/chipwright/manual"; do
  for page in manual_en.html manual_zh.html; do
    [ -f "$folder/$page" ] || { echo "no $folder/$page"; exit 1; }
    for picture in $(grep -o 'src="[^"]*"' "$folder/$page" | cut -d '"' -f 2); do
      [ -f "$folder/$picture" ] || { echo "$page shows $picture, which $folder lacks"; exit 1; }
    done
  done
done

mkdir -p "$work/fake"
printf '#!/bin/sh\necho "$@" >> "%s/opened"\n' "$work" > "$work/fake/xdg-open"
chmod +x "$work/fake/xdg-open"
HOME=$work XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state \
  xvfb-run -a -s "-screen 0 1280x900x24" bash "$0" "$work" --inside
