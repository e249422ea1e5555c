#!/usr/bin/env python3
"""Checks the arrows between the parts: every #include "..." of the
project's own sources against the parts docs/ARCHITECTURE.md lets each part
use. Prints each arrow the wrong way and exits 1 when there is one.

A file's part is its folder; a public header's part is in HEADERS. Includes
of a file in the same folder are the part's own business."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The public headers (include/kdr/) by part. The platform's interfaces are a
# part of their own: the engine sees the line through them and nothing else
# of the platform; the faces make ports, clocks and local time through the
# factories and never name a class of one system.
HEADERS = {
    "base": ["error.hpp", "time.hpp"],
    "protocol": ["protocol.hpp", "download.hpp", "text_encoding.hpp"],
    "platform-interfaces": ["platform.hpp", "byte_port.hpp", "line_settings.hpp"],
    "platform-factories": ["port_factory.hpp", "system.hpp", "memory_progress_bar.hpp"],
    "platform": ["posix_platform.hpp", "network_port.hpp", "win32_platform.hpp"],
    "engine": ["engine.hpp", "timing.hpp"],
    "control": ["controller.hpp", "variant.hpp", "serial_component.hpp"],
    "reader": ["reader.hpp"],
    "simulator": ["simulator.hpp"],
}

# Each part and the parts it uses directly (the table in
# docs/ARCHITECTURE.md); what those use is allowed too.
USES = {
    "base": [],
    "protocol": ["base"],
    "platform-interfaces": ["base"],
    "platform-factories": ["platform-interfaces"],
    "platform": ["platform-factories", "platform-interfaces", "base"],
    "engine": ["protocol", "platform-interfaces"],
    "control": ["engine"],
    "reader": ["engine", "platform-factories"],
    "store": ["protocol"],
    "collect": ["reader", "store"],
    "simulator": ["protocol", "platform"],
    "cli": ["reader", "store", "collect", "simulator"],
    "python": ["reader", "collect", "simulator"],
    "activex": ["control", "platform"],
}

# Source folders and the part each belongs to.
FOLDERS = {
    "base": "base",
    "protocol": "protocol",
    "platform": "platform",
    "engine": "engine",
    "control/activex": "activex",
    "registration": "activex",
    "propertypage": "activex",
    "control": "control",
    "reader": "reader",
    "store": "store",
    "collect": "collect",
    "simulator": "simulator",
    "cli": "cli",
    "python": "python",
}

HEADER_PART = {name: part for part, names in HEADERS.items() for name in names}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


# Parts only those that name them in USES may include: the classes of one
# system, which a face reaches through the factories.
DIRECT_ONLY = {"platform"}


def allowed(part):
    seen, todo = {part}, [part]
    while todo:
        for used in USES.get(todo.pop(), []):
            if used not in seen:
                seen.add(used)
                todo.append(used)
    return {p for p in seen if p not in DIRECT_ONLY or p == part or p in USES.get(part, [])}


def folder_part(path):
    for folder in sorted(FOLDERS, key=len, reverse=True):
        if path == folder or path.startswith(folder + "/"):
            return FOLDERS[folder]
    return None


def included_part(name):
    if name.startswith("kdr/"):
        header = name[len("kdr/"):]
        if header not in HEADER_PART:
            return "unknown public header"
        return HEADER_PART[header]
    return folder_part(name)


def main():
    wrong = []
    unknown = [h.name for h in (ROOT / "include/kdr").glob("*.hpp") if h.name not in HEADER_PART]
    for header in unknown:
        wrong.append(f"include/kdr/{header}: no part: add it to HEADERS in {sys.argv[0]}")
    sources = [*ROOT.glob("**/*.cpp"), *ROOT.glob("**/*.hpp"), *(ROOT / "include/kdr").glob("*.hpp")]
    for source in sorted(sources):
        relative = source.relative_to(ROOT).as_posix()
        if relative.startswith("include/kdr/"):
            part = HEADER_PART.get(source.name)
        else:
            part = folder_part(relative)
        if part is None or relative.startswith("build/"):
            continue
        may_use = allowed(part)
        for name in INCLUDE.findall(source.read_text(errors="replace")):
            target = included_part(name)
            if target is None or target == part:
                continue  # the part's own, or a file beside it
            if target not in may_use:
                wrong.append(f"{relative}: {part} may not include \"{name}\" ({target})")
    for line in wrong:
        print(line, file=sys.stderr)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
