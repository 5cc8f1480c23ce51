#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Keeps the module map true: every `#include "folder/..."` stays inside what its
file's module may use. docs/architecture.md explains the map; this is its
machine-checked copy, so change both together.

- A library's sources (its folder) include their own headers, those of the
  libraries in its row, and those of the libraries below them: arrows point
  down only, so what a row library may use, the library above it may use too
  (the window uses the message table and chip records it hands to the
  operations). Nothing sideways or upwards: sim never includes protocol, the
  core never includes hexview or ui. A library that needs a new arrow adds it
  to its row here, in docs/architecture.md and in its target_link_libraries.
- A test (tests/<module>/), a benchmark (bench/<module>/) or a fuzz target
  (fuzz/*.cpp, mapped below) includes the module it exercises, what that
  module's row allows, the shared test support (tests/support/) and its own
  folder. tests/support/ itself is not checked: it serves every test.
- Library headers are included from the source root ("link/usb_link.h"),
  never relative to the including file.

Folders that do not exist yet are skipped. Exit status 1 lists every include
that crosses a row.

Run: python3 scripts/check_includes.py [SOURCE_ROOT]
"""

import pathlib
import re
import sys

# Module -> (folder, the modules its row allows). Qt, libusb and other outside
# libraries come in with <...> and are not checked here.
MODULES = {
    "util": ("util", []),
    "catalogue": ("catalogue", ["util"]),
    "app": ("app", ["util"]),
    "buffer": ("buffer", ["util"]),
    "link": ("link", ["util"]),
    "link_libusb": ("link/libusb", ["link", "util"]),
    "protocol": ("protocol", ["link", "catalogue", "util"]),
    # Not protocol: the simulated firmware reads the packets with its own
    # definitions, so a misread byte on one side is caught by the other.
    "sim": ("sim", ["link", "catalogue", "util"]),
    "operations": ("operations", ["protocol", "link", "catalogue", "buffer", "app", "util"]),
    "hexview": ("hexview", ["buffer", "util"]),
    "ui": ("ui", ["operations", "hexview", "sim", "link_libusb"]),
    # The line store: jobs, serial numbers and results in SQLite or PostgreSQL.
    "line": ("line", ["util"]),
    "cli": ("cli", ["operations", "sim", "link_libusb", "line"]),
    "chipdb": ("tools/chipdb", ["catalogue", "util"]),
}

TEST_SUPPORT = "tests/support"
BENCH_SUPPORT = "bench/support"

# Fuzz target source -> the module it exercises.
FUZZ_TARGETS = {
    "text_codec_fuzz.cpp": "util",
    "config_fuzz.cpp": "app",
    "chip_database_fuzz.cpp": "catalogue",
    "chip_csv_fuzz.cpp": "catalogue",
    "intel_hex_fuzz.cpp": "buffer",
    "programmer_fuzz.cpp": "protocol",
}

# Includes beyond the rules above, each with its reason: (folder of the
# including files, or one fuzz target's file, module it may include in addition).
EXCEPTIONS = {
    # The libusb backend's tests emulate the programmer with the simulator's
    # firmware model behind an emulated usbfs device.
    ("tests/link_libusb", "sim"): "the emulated device runs the simulated firmware",
    # The shipped-files test finds the chip database through config.ini, the
    # way the program does.
    ("tests/catalogue", "app"): "config.ini names the shipped chip database",
    # The chip read benchmark times a whole read: the command set over the
    # link, the simulator as the device.
    ("bench/link", "protocol"): "a chip read is a command-set operation",
    ("bench/link", "sim"): "the simulator is the device being read",
    # The commands are driven end to end against the simulated programmer, and
    # once over libusb and the emulated usbfs device.
    ("tests/operations", "sim"): "the simulator is the programmer the commands drive",
    ("tests/operations", "link_libusb"): "Read and Verify once over the real transport",
    ("bench/operations", "sim"): "the simulator is the programmer the commands drive",
    # The line benchmark's stations program every chip between reserving its serial number
    # and recording it: the chip commands on the simulator, the chip from the chip table.
    ("bench/line", "operations"): "each station runs Auto on its chips",
    ("bench/line", "buffer"): "the job's image goes into the station's buffer",
    ("bench/line", "catalogue"): "the chip comes from the shipped chip table",
    ("bench/line", "app"): "each station loads its message table",
    ("bench/line", "sim"): "the simulator is each station's programmer",
    # The chip database fuzz target reads and writes every chip the loader accepts, so a
    # chip the buffer cannot hold shows as an overrun.
    ("fuzz/chip_database_fuzz.cpp", "protocol"): "accepted chips are read and written",
    ("fuzz/chip_database_fuzz.cpp", "link"): "the command set talks over the link",
    ("fuzz/chip_database_fuzz.cpp", "sim"): "the simulator is the programmer",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCE_SUFFIXES = {".cpp", ".h"}


def module_of_path(path):
    """The module whose folder holds `path` (the deepest folder wins), or None."""
    best = None
    for name, (folder, _) in MODULES.items():
        if path == folder or path.startswith(folder + "/"):
            if best is None or len(folder) > len(MODULES[best][0]):
                best = name
    return best


def allowed_modules(module):
    """The module, its row, and everything below them."""
    allowed = {module}
    pending = list(MODULES[module][1])
    while pending:
        name = pending.pop()
        if name not in allowed:
            allowed.add(name)
            pending.extend(MODULES[name][1])
    return allowed


def sources_under(root, folder):
    base = root / folder
    if not base.is_dir():
        return []
    return sorted(p for p in base.rglob("*") if p.suffix in SOURCE_SUFFIXES and p.is_file())


def check_file(root, path, module, own_folder, extra, problems):
    """Checks the includes of one file that may use `module`'s row, the modules
    in `extra` and, for a test, benchmark or fuzz file, `own_folder`."""
    allowed = allowed_modules(module) | set(extra)
    rel = path.relative_to(root).as_posix()
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        target = match.group(1)
        # Qt's generated meta-object code of a test's own classes.
        if target.endswith(".moc"):
            continue
        if "/" not in target:
            problems.append(f"{rel}:{number}: \"{target}\": include from the source root")
            continue
        if own_folder and target.startswith(own_folder + "/"):
            continue
        if own_folder and own_folder.startswith(("tests/", "bench/")):
            if target.startswith((TEST_SUPPORT + "/", BENCH_SUPPORT + "/")):
                continue
        target_module = module_of_path(target)
        if target_module is None:
            problems.append(f"{rel}:{number}: \"{target}\" is in no module")
        elif target_module not in allowed:
            problems.append(
                f"{rel}:{number}: \"{target}\" belongs to {target_module}, which "
                f"{module}'s row does not allow (allowed: {', '.join(sorted(allowed))})"
            )


def extras_for(folder):
    return [mod for (where, mod) in EXCEPTIONS if where == folder]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = []
    checked = 0

    # Libraries: a file belongs to the deepest module folder holding it.
    for name, (folder, _) in MODULES.items():
        for path in sources_under(root, folder):
            if module_of_path(path.relative_to(root).as_posix()) != name:
                continue
            # Its own headers are those of its module: link/ may not reach into link/libusb/.
            check_file(root, path, name, None, extras_for(folder), problems)
            checked += 1

    # Tests and benchmarks: one folder per module they exercise.
    for top in ("tests", "bench"):
        base = root / top
        if not base.is_dir():
            continue
        for folder in sorted(p for p in base.iterdir() if p.is_dir()):
            rel = folder.relative_to(root).as_posix()
            if rel in (TEST_SUPPORT, BENCH_SUPPORT):
                continue
            files = sources_under(root, rel)
            if folder.name not in MODULES:
                if files:
                    problems.append(f"{rel}: no module named {folder.name}; add its row here")
                continue
            for path in files:
                check_file(root, path, folder.name, rel, extras_for(rel), problems)
                checked += 1

    # Fuzz targets: each source is mapped to the module it exercises.
    for path in sources_under(root, "fuzz"):
        module = FUZZ_TARGETS.get(path.name)
        if module is None:
            problems.append(f"fuzz/{path.name}: map it to the module it exercises")
            continue
        extra = extras_for("fuzz") + extras_for(f"fuzz/{path.name}")
        check_file(root, path, module, "fuzz", extra, problems)
        checked += 1

    for problem in problems:
        print(problem)
    if problems:
        print(f"check_includes: {len(problems)} include(s) cross the module map")
        return 1
    print(f"check_includes: {checked} files keep to the module map")
    return 0


if __name__ == "__main__":
    sys.exit(main())
