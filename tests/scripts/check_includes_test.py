#!/usr/bin/env python3
"""The include check on small fixture trees: it must pass a tree whose includes point
down and fail, naming file, line and room, on one that points up or sideways."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_includes.py"

# A tree every row starts from: one header per room, each including only what it may.
GOOD_TREE = {
    "src/base/clock.h": "#pragma once\n#include <cstdint>\n",
    "src/wire/event_record.h": '#pragma once\n#include "base/clock.h"\n',
    "src/receiver/line_protocol.h": '#include "wire/event_record.h"\n#include "base/clock.h"\n',
    "src/serverlink/server_link.h": '#include "wire/event_record.h"\n',
    "src/spool/replay.h": '#include "serverlink/server_link.h"\n',
    "src/app/driver.h": '#include "spool/replay.h"\n#include "receiver/line_protocol.h"\n',
    "src/platform/host.h": '#include <QObject>\n#include "app/driver.h"\n',
    "src/gui/window.h": '#include "platform/host.h"\n',
    "src/main.cpp": '#include "gui/window.h"\n#include "headless.h"\n',
    "src/headless.h": "#pragma once\n",
    "tools/msgserver/options.h": "#pragma once\n",
    "tools/msgserver/main.cpp": '#include "options.h"\n#include "wire/event_record.h"\n',
}

# (name, file, its text, the fault expected or None). Each row adds or replaces one file.
CASES = [
    ("down arrows pass", None, None, None),
    ("wire reaching up to serverlink", "src/wire/frames.cpp", '#include <string>\n#include "serverlink/server_link.h"\n',
     'src/wire/frames.cpp:2: "serverlink/server_link.h" -- room wire may not include room serverlink'),
    ("base reaching up to app", "src/base/settings.h", '#include "app/driver.h"\n',
     "src/base/settings.h:1: \"app/driver.h\" -- room base may not include room app"),
    ("receiver sideways to spool", "src/receiver/supervision.cpp", '#include "spool/replay.h"\n',
     "room receiver may not include room spool"),
    ("serverlink up to spool", "src/serverlink/send_queue.h", '#include "spool/replay.h"\n',
     "room serverlink may not include room spool"),
    ("app up to platform", "src/app/port_controls.h", '#include "platform/host.h"\n',
     "room app may not include room platform"),
    ("msgserver into serverlink", "tools/msgserver/responder.cpp", '#include "serverlink/server_link.h"\n',
     "room tools/msgserver may not include room serverlink"),
    ("core including Qt", "src/spool/spool_files.cpp", "#include <QFile>\n",
     "src/spool/spool_files.cpp:1: #include <QFile> -- core room spool may not include Qt"),
    ("include without room naming nothing beside it", "src/app/driver.cpp", '#include "clock.h"\n',
     'src/app/driver.cpp:1: "clock.h" -- names no file beside it'),
    ("unknown room", "src/newroom/thing.h", "#pragma once\n", "room newroom is not a known room"),
]


def run_check(files):
    with tempfile.TemporaryDirectory() as root:
        for rel, text in files.items():
            path = pathlib.Path(root, rel)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        done = subprocess.run([sys.executable, str(SCRIPT), root], capture_output=True, text=True)
        return done.returncode, done.stdout


class IncludeCheckTest(unittest.TestCase):
    def test_cases(self):
        for name, rel, text, fault in CASES:
            with self.subTest(name):
                files = dict(GOOD_TREE)
                if rel:
                    files[rel] = text
                code, out = run_check(files)
                if fault is None:
                    self.assertEqual(code, 0, out)
                    self.assertEqual(out.strip(), "include check: every include points down")
                else:
                    self.assertEqual(code, 1, out)
                    # One fault, the one the row plants.
                    self.assertEqual(len(out.splitlines()), 1, out)
                    self.assertIn(fault, out)


if __name__ == "__main__":
    unittest.main()
