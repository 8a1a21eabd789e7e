#!/usr/bin/env python3
"""Checks that includes in the library's sources point down the layers, never up.

Usage: check_layers.py SRC_DIR      exit 1 and one line per offending include
       check_layers.py --self-test  proves the check refuses an upward include

Every file under SRC_DIR/<folder>/ belongs to its folder's layer, and so does every
#include "folder/..." naming it, except the units of SHARED: the pieces both
families use (the logon prompt and the component messages), which still live in
socket/ but sit below it. A folder missing from the table fails too, so that a new
one is placed deliberately.
"""
import os
import re
import sys
import tempfile

# What each layer may include (itself always). The XML engine stands beside the
# shared pieces on the platform; only the XML web services use it.
ALLOWED = {
    "platform": set(),
    "xml": {"platform"},
    "shared": {"platform"},
    "socket": {"platform", "shared"},
    "web": {"platform", "shared", "socket"},
    "services": {"platform", "shared", "socket", "web", "xml"},
    "design": {"platform", "shared", "socket", "web", "xml", "services"},
}
SHARED = {"socket/KvILogOn", "socket/KvInCnst"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/([^"]+)"')


def layer_of(folder, name):
    stem = folder + "/" + os.path.splitext(name)[0]
    return "shared" if stem in SHARED else folder


def check(src):
    problems = []
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp")):
                continue
            own = layer_of(folder, name)
            where = folder + "/" + name
            if own not in ALLOWED:
                problems.append(f"{where}: the folder {folder}/ has no place in the layer table")
                continue
            with open(os.path.join(path, name), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    target = layer_of(m.group(1), m.group(2))
                    if target != own and target not in ALLOWED[own]:
                        problems.append(f'{where}:{number}: {own} includes "{m.group(1)}/{m.group(2)}" ({target})')
    return problems


def self_test():
    cases = {
        "platform/Low.h": '#include "platform/Other.h"\n',
        "socket/KvILogOn.cpp": '#include "platform/Low.h"\n#include "socket/KvIHTTP.h"\n',
        "web/Up.cpp": '#include "socket/KvInCnst.h"\n#include "services/KvIRSS.h"\n',
        "xml/Engine.cpp": '#include "web/kviupdate.h"\n',
    }
    expected = [
        'socket/KvILogOn.cpp:2: shared includes "socket/KvIHTTP.h" (socket)',
        'web/Up.cpp:2: web includes "services/KvIRSS.h" (services)',
        'xml/Engine.cpp:1: xml includes "web/kviupdate.h" (web)',
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for rel, text in cases.items():
            os.makedirs(os.path.join(tmp, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(tmp, rel), "w") as f:
                f.write(text)
        got = check(tmp)
    if got != expected:
        print("the check reported:\n  " + "\n  ".join(got) + "\ninstead of:\n  " + "\n  ".join(expected))
        return 1
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    problems = check(sys.argv[1])
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
