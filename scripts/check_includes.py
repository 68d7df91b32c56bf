#!/usr/bin/env python3
"""check_includes.py [ROOT]: fails when a file under src/ or tools/ includes a room its
room may not use, or when a core room includes a Qt header.

Each `#include "room/..."` must name a room in the includer's list below; an include
without a room prefix must name a file beside the includer. Prints one line per fault:
file:line: "the include" -- room X may not include room Y.
"""
import pathlib
import re
import sys

CORE = ["base", "wire", "receiver", "serverlink", "spool", "app"]

# The arrows: which rooms a room may include (its own room always).
ALLOWED = {
    "base": set(),
    "wire": {"base"},
    "receiver": {"wire", "base"},
    "serverlink": {"wire", "base"},
    "spool": {"serverlink", "wire", "base"},
    "app": {"spool", "serverlink", "receiver", "wire", "base"},
    "platform": {"app", "spool", "serverlink", "receiver", "wire", "base"},
    "gui": {"platform", "app", "spool", "serverlink", "receiver", "wire", "base"},
    # headless.cpp, main.cpp
    "top": {"gui", "platform", "app", "spool", "serverlink", "receiver", "wire", "base"},
    "tools/msgserver": {"wire", "base"},
    "tools/receiver-sim": set(),
}

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".in"}
QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
QT_HEADER = re.compile(r'^\s*#\s*include\s*<(Q[A-Za-z]*|Qt[A-Za-z]*/[^>]*)>')


def room_of(rel):
    """The room of a file, given its path relative to the root (POSIX form), or None."""
    parts = rel.split("/")
    if parts[0] == "src":
        return parts[1] if len(parts) > 2 else "top"
    if parts[0] == "tools" and len(parts) > 2:
        return "tools/" + parts[1]
    return None


def check(root):
    root = pathlib.Path(root)
    faults = []
    for top in ("src", "tools"):
        for path in sorted((root / top).rglob("*")):
            if not path.is_file() or path.suffix not in SOURCE_SUFFIXES:
                continue
            rel = path.relative_to(root).as_posix()
            room = room_of(rel)
            if room is None:
                continue
            allowed = ALLOWED.get(room)
            if allowed is None:
                faults.append(f"{rel}:1: room {room} is not a known room; add it to {pathlib.Path(__file__).name}")
                continue
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, 1):
                if room in CORE and QT_HEADER.match(line):
                    faults.append(f"{rel}:{number}: {line.strip()} -- core room {room} may not include Qt")
                    continue
                m = QUOTED.match(line)
                if not m:
                    continue
                target = m.group(1)
                if "/" not in target:
                    if (path.parent / target).exists():
                        continue
                    faults.append(f'{rel}:{number}: "{target}" -- names no file beside it; include by room')
                    continue
                target_room = target.split("/")[0]
                if target_room == room or (room.startswith("tools/") and (path.parent / target).exists()):
                    continue
                if target_room not in allowed:
                    faults.append(f'{rel}:{number}: "{target}" -- room {room} may not include room {target_room}')
    return faults


def main(argv):
    root = argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent
    faults = check(root)
    for fault in faults:
        print(fault)
    if faults:
        print(f"include check: {len(faults)} forbidden include(s)", file=sys.stderr)
        return 1
    print("include check: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
