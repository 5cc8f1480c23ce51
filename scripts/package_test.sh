#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, end to end, on a throw-away machine (as root; CI runs it after
# scripts/test.sh): builds chipwright_<version>_<arch>.deb with cpack, installs it
# with apt-get, checks the installed launcher and AppStream entry, runs both programs
# as an unprivileged user, switches the installed window's language by keyboard under
# Xvfb and finds the setting in that user's ~/.config, checks that nothing under /usr
# changed, then purges the package and checks that every file it brought is gone.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package_test.sh installs a package: run it as root"; exit 1; }

# The build folder scripts/test.sh made serves when it is an optimised build without
# sanitizers; else a build of the programs alone.
build=build
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt" 2> /dev/null; }
case "$(cache_value CMAKE_BUILD_TYPE)/$(cache_value CHIPWRIGHT_SANITIZE)" in
  Release/ | RelWithDebInfo/ | MinSizeRel/) ;;
  *)
    build=build-package
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCHIPWRIGHT_BUILD_TESTS=OFF \
      -DCHIPWRIGHT_BUILD_BENCH=OFF -DCHIPWRIGHT_SANITIZE= -DCHIPWRIGHT_WERROR=ON
    ;;
esac
cmake --build "$build"

echo "== the package"
rm -f "$build"/chipwright_*.deb
(cd "$build" && cpack -G DEB > cpack.log) || { cat "$build/cpack.log"; exit 1; }
debs=("$build"/chipwright_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "no single chipwright_*.deb"; exit 1; }
deb=$(realpath "${debs[0]}")
depends=$(dpkg-deb -f "$deb" Depends)
echo "$(basename "$deb"): $(du -h "$deb" | cut -f 1); Depends: $depends"
for needed in libqt6widgets6 libusb-1.0-0 fonts-wqy-zenhei fonts-dejavu-core qt6-qpa-plugins; do
  [[ $depends == *"$needed"* ]] || { echo "the package does not depend on $needed"; exit 1; }
done

echo "== install"
if dpkg-query -W -f='${Status}' chipwright 2> /dev/null | grep -q 'install ok installed'; then
  apt-get remove --purge -y chipwright > /dev/null
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" > "$build/apt-install.log" ||
  { cat "$build/apt-install.log"; exit 1; }
dpkg -L chipwright > "$build/package-files.txt"
desktop-file-validate /usr/share/applications/example.chipwright.Chipwright.desktop
appstreamcli validate --no-net /usr/share/metainfo/example.chipwright.Chipwright.metainfo.xml
[ -f /usr/lib/chipwright/installed ] && [ -f /usr/lib/udev/rules.d/60-chipwright.rules ]

echo "== the installed programs as an unprivileged user"
user=chipwright-test
id "$user" > /dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user"
home=$(getent passwd "$user" | cut -d : -f 6)
rm -rf "$home/.config/chipwright" "$home/.local/state/chipwright"
as_user() {
  runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}
as_user /usr/bin/chipwright-cli --simulate chips W25Q64 | tee "$build/chips.txt"
grep -q '^W25Q64' "$build/chips.txt"
as_user env QT_QPA_PLATFORM=offscreen /usr/bin/chipwright --version
# Completion of a chip name, from the installed program's own chip database.
as_user bash -c 'source /usr/share/bash-completion/bash_completion
  source /usr/share/bash-completion/completions/chipwright-cli
  COMP_WORDS=(chipwright-cli -c w25q64j); COMP_CWORD=2; COMP_LINE="chipwright-cli -c w25q64j"
  COMP_POINT=${#COMP_LINE}; _chipwright_cli; printf "%s\n" "${COMPREPLY[@]}"' |
  tee "$build/completion.txt"
grep -qx 'W25Q64JV' "$build/completion.txt"

# The window as that user under Xvfb: Language(&L) -> 中文简体(&C) by keyboard.
cp tests/ui/x_window.sh "$home/x_window.sh"
cat > "$home/switch-language.sh" << 'SCRIPT'
set -eu
. "$HOME/x_window.sh"
/usr/bin/chipwright --simulate &
program=$!
window=$(window_of "$program")
xdotool windowfocus --sync "$window"
xdotool key alt+l
sleep 0.5
xdotool key c
for _ in $(seq 50); do
  grep -qs '^DefaultLanguage=SimpleChinese' "$HOME/.config/chipwright/config.ini" && break
  sleep 0.1
done
kill "$program"
wait "$program" 2> /dev/null || true
SCRIPT
as_user env QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x900x24" bash "$home/switch-language.sh"
rm -f "$home/switch-language.sh" "$home/x_window.sh"
grep -q '^DefaultLanguage=SimpleChinese' "$home/.config/chipwright/config.ini" ||
  { echo "the language is not in $home/.config/chipwright/config.ini"; exit 1; }
grep -q 'ShowInfo: ' "$home/.local/state/chipwright/chipwright.log" ||
  { echo "no log in $home/.local/state/chipwright"; exit 1; }
# Root too leaves the installed files alone; dpkg compares every one with the package.
env -u XDG_CONFIG_HOME -u XDG_STATE_HOME /usr/bin/chipwright-cli --simulate -q -c W25Q64JV \
  read "$build/package-read.bin"
changed=$(dpkg --verify chipwright || true)
[ -z "$changed" ] || { echo "installed files changed:"; echo "$changed"; exit 1; }
[ -z "$(find /usr/lib/chipwright -newer "$build/package-files.txt")" ] ||
  { echo "files appeared in /usr/lib/chipwright"; exit 1; }

echo "== purge"
apt-get remove --purge -y chipwright > /dev/null
left=0
while IFS= read -r path; do
  case "$path" in /usr/*) ;; *) continue ;; esac
  # dpkg keeps a folder only while another package owns it or it holds other files.
  if [ -d "$path" ] && [ ! -L "$path" ] && [ -n "$(ls -A "$path")" ]; then
    continue
  fi
  if [ -e "$path" ] || [ -L "$path" ]; then
    echo "left after purge: $path"
    left=1
  fi
done < "$build/package-files.txt"
[ "$left" -eq 0 ] && [ ! -e /usr/lib/chipwright ]
echo "package test: installed, used and purged cleanly"
