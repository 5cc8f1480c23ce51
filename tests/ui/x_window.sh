# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts that drive the real window under an X server with xdotool.

# The X id of the window of process $1, once it has mapped and had a second to settle;
# fails, ending the process, when it has not mapped within 10 s.
window_of() {
  local program=$1 window=""
  for _ in $(seq 100); do
    window=$(xdotool search --sync --onlyvisible --pid "$program" 2> /dev/null | head -n 1) && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "the window never mapped" >&2; kill "$program"; return 1; }
  sleep 1
  echo "$window"
}
