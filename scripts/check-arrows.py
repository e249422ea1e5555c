#!/usr/bin/env python3
"""Checks the arrows between the parts: every #include of the project's own
sources, in quotes or in angle brackets, against the parts
docs/ARCHITECTURE.md lets each part use. Prints each arrow the wrong way, and
each include it cannot place, and exits 1 when there is one.

A file's part is its folder (or, for a header that is a part of its own
inside another's folder, FILES); a public header's part is in HEADERS.
Includes of a file of the same part are the part's own business. An include
in angle brackets whose first folder is none of ours is a library's."""
import pathlib
import posixpath
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
    # What a collect came to, and its words: a part of its own in collect/,
    # so that the web view can say it without the reader and the station.
    "collect-outcome": ["store"],
    "collect": ["reader", "store", "collect-outcome"],
    "simulator": ["protocol", "platform"],
    "writers": ["protocol", "store", "collect-outcome"],
    "web": ["store", "writers", "collect-outcome"],
    "cli": ["reader", "store", "collect", "simulator", "writers", "web"],
    "python": ["reader", "collect", "simulator"],
    "activex": ["control", "platform"],
}

# Parts a part must never reach, even through another: a change of USES that
# lets one through is refused here rather than found in a review.
NEVER = {
    "protocol": ["platform", "platform-interfaces", "engine", "control", "reader", "store"],
    "platform-interfaces": ["protocol", "engine"],
    "platform": ["protocol", "engine"],
    "engine": ["control", "reader", "store", "cli"],
    "store": ["engine", "control", "reader", "cli", "platform", "platform-interfaces"],
    "writers": ["cli", "web", "engine", "reader", "platform", "platform-interfaces"],
    "web": ["cli", "engine", "reader", "control", "collect", "platform", "platform-factories",
            "platform-interfaces", "simulator"],
    "reader": ["control"],
    "control": ["reader"],
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
    "writers": "writers",
    "web": "web",
    "cli": "cli",
    "python": "python",
}

# Files that are a part of their own inside another part's folder.
FILES = {
    "collect/outcome.hpp": "collect-outcome",
    "collect/outcome.cpp": "collect-outcome",
}

# Libraries' headers only some parts may include.
LIBRARIES = {
    "boost/asio.hpp": ["web"],
    "boost/beast/core.hpp": ["web"],
    "boost/beast/http.hpp": ["web"],
    "kainjow/mustache.hpp": ["web"],
    "CLI/CLI.hpp": ["cli"],
}

# Headers the build makes, which no folder holds: the type library's.
GENERATED = {"KDRCtrl_h.h": "activex", "KDRCtrl_i.c": "activex"}

HEADER_PART = {name: part for part, names in HEADERS.items() for name in names}
INCLUDE = re.compile(r'^\s*#\s*include\b\s*(.*?)\s*(?://.*|/\*.*)?$', re.MULTILINE)
QUOTED = re.compile(r'^"([^"]+)"$')
ANGLED = re.compile(r'^<([^>]+)>$')
OUR_ROOTS = {folder.split("/")[0] for folder in FOLDERS} | {"kdr"}

# Parts only those that name them in USES may include: the classes of one
# system, which a face reaches through the factories.
DIRECT_ONLY = {"platform"}


def reach(part):
    seen, todo = {part}, [part]
    while todo:
        for used in USES.get(todo.pop(), []):
            if used not in seen:
                seen.add(used)
                todo.append(used)
    return seen


def allowed(part):
    return {p for p in reach(part) if p not in DIRECT_ONLY or p == part or p in USES.get(part, [])}


def path_part(path):
    if path in FILES:
        return FILES[path]
    for folder in sorted(FOLDERS, key=len, reverse=True):
        if path == folder or path.startswith(folder + "/"):
            return FOLDERS[folder]
    return None


def part_folders(part):
    return [folder for folder, owner in FOLDERS.items() if owner == part]


def place(name, angled, source):
    """The part of an included name, or (None, why) where it cannot be placed,
    or ("", None) for a library's header."""
    here = posixpath.dirname(source)
    if name.startswith("kdr/"):
        header = name[len("kdr/"):]
        if header not in HEADER_PART:
            return None, "no such public header: add it to HEADERS"
        return HEADER_PART[header], None
    if ".." in name.split("/"):
        resolved = posixpath.normpath(posixpath.join(here, name))
        if resolved.startswith("../") or resolved == "..":
            return None, "it leaves the source tree"
        part = path_part(resolved)
        return (part, None) if part else (None, "it names no part's folder")
    first = name.split("/")[0]
    if angled and first not in OUR_ROOTS:
        return "", None
    if first in OUR_ROOTS and "/" in name:
        part = path_part(name)
        return (part, None) if part else (None, "it names no part's folder")
    # A name beside the file, or in another folder of the same part.
    for folder in [here, *part_folders(path_part(source))]:
        candidate = posixpath.normpath(posixpath.join(folder, name))
        if (ROOT / candidate).is_file():
            return path_part(candidate) or "", None
    if name in GENERATED:
        return GENERATED[name], None
    return None, "no file of the tree by that name (give its folder, as \"part/file.hpp\")"


def check_uses():
    wrong = []
    for part, never in NEVER.items():
        for reached in sorted(reach(part) & set(never)):
            wrong.append(f"{sys.argv[0]}: USES lets {part} reach {reached}, which it must never use")
    return wrong


def main():
    wrong = check_uses()
    unknown = [h.name for h in (ROOT / "include/kdr").glob("*.hpp") if h.name not in HEADER_PART]
    for header in unknown:
        wrong.append(f"include/kdr/{header}: no part: add it to HEADERS in {sys.argv[0]}")
    sources = [p for pattern in ("**/*.cpp", "**/*.hpp", "**/*.h") for p in ROOT.glob(pattern)]
    for source in sorted(set(sources)):
        relative = source.relative_to(ROOT).as_posix()
        if relative.startswith("build/"):
            continue
        if relative.startswith("include/kdr/"):
            part = HEADER_PART.get(source.name)
        else:
            part = path_part(relative)
        if part is None:
            continue
        may_use = allowed(part)
        for form in INCLUDE.findall(source.read_text(errors="replace")):
            quoted, angled = QUOTED.match(form), ANGLED.match(form)
            if not quoted and not angled:
                wrong.append(f"{relative}: cannot place #include {form}: give a name in quotes "
                             "or angle brackets")
                continue
            name = (quoted or angled).group(1)
            if angled and name in LIBRARIES:
                if part not in LIBRARIES[name]:
                    wrong.append(f"{relative}: {part} may not include <{name}> "
                                 f"(only {', '.join(LIBRARIES[name])})")
                continue
            target, why = place(name, bool(angled), relative)
            if target is None:
                wrong.append(f"{relative}: cannot place #include {form}: {why}")
                continue
            if target in ("", part):
                continue  # a library's, the part's own, or a file beside it
            if target not in may_use:
                wrong.append(f"{relative}: {part} may not include {form} ({target})")
    for line in wrong:
        print(line, file=sys.stderr)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
