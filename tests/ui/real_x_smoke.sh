#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The shipped program under a real X server (Xvfb, the xcb platform): the window maps at
# its fixed size, and a click on the toolbar's Read button in simulate mode ends with
# "Read chip ok!" in the log. Run by CTest with the folder holding the built program.
set -euo pipefail
source "$(dirname "$0")/x_window.sh"

# Inside the X server: chipwright-smoke WORK_FOLDER --inside
run() {
  local work=$1
  export QT_QPA_PLATFORM=xcb
  "$work/chipwright" --simulate &
  program=$!
  window=$(window_of "$program")
  eval "$(xdotool getwindowgeometry --shell "$window")"
  echo "window $WIDTH x $HEIGHT"
  # The Read button: the eighth of the toolbar, below the menu bar.
  xdotool mousemove --window "$window" 342 45 click 1
  for _ in $(seq 100); do
    grep -q "ShowInfo: Read chip ok!" "$work/chipwright.log" 2>/dev/null && break
    sleep 0.1
  done
  kill "$program"
  wait "$program" 2>/dev/null || true
  grep -q "ShowInfo: Read chip ok!" "$work/chipwright.log" || { echo "no Read chip ok! in the log"; cat "$work/chipwright.log"; return 1; }
  [ "$WIDTH" -eq 847 ] || { echo "unexpected width $WIDTH"; return 1; }
}
if [ "${2:-}" = "--inside" ]; then
  run "$1"
  exit
fi

bin=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The program finds config.ini and the chip database beside itself and logs there.
cp "$bin/chipwright" "$bin/config.ini" "$bin"/*.cwdb "$work/"
xvfb-run -a -s "-screen 0 1280x900x24" bash "$0" "$work" --inside
