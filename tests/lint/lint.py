#!/usr/bin/env python3
"""Source lint: words that do not belong in the code base, constructs that do not belong in
driver code, the driver's include direction, the input ring's single owner, and includes
that cross the platform's component boundaries. Usage: lint.py REPO_ROOT. Prints file:line
for each finding; exit status 1 when there is any."""

import os
import re
import subprocess
import sys

# Assembled from pieces so that this file does not trip its own check.
_DOC = "spe" + "c"
BANNED_WORDS = re.compile(
    r"\bPart [1-8]\.[0-9]\b|\b%s\b|%sification|%s\.md" % (_DOC, _DOC, _DOC), re.IGNORECASE
)

DRIVER_FOLDERS = ("driver/", "port/", "peer/", "serial/", "queue/", "trace/", "kpeer/")
DRIVER_CONSTRUCTS = [
    (re.compile(r"\b(throw|try|catch)\b"), "exception handling"),
    (re.compile(r"\b(dynamic_cast|typeid)\b"), "run-time type information"),
    (re.compile(r"\bstd::"), "standard library"),
    (re.compile(r"\bnew\b\s*[A-Za-z_(:]"), "new expression"),
    # "= delete" declarations are fine; a delete expression never follows '='.
    (re.compile(r"(?<!=)(?<!=\s)\bdelete\b"), "delete expression"),
]
ALLOWED_SYSTEM_HEADERS = {
    "ntddk.h", "wdm.h", "ntddser.h", "wmilib.h", "initguid.h", "wdmguid.h", "stdarg.h"
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]*)[>"]')

# The input ring's fields (and the flow limits set from its size) are written only by its
# owner; everyone else reads them.
RING_OWNER = ("serial/input_ring.h", "serial/input_ring.cpp")
RING_FIELDS = r"(?:InputBuffer|InputBufferSize|InputFullMark|InputCount|InputFirstChar|" \
              r"IsrTargetBase|IsrTargetLast|IsrNextSlot|XonLimit|XoffLimit)"
RING_WRITE = re.compile(
    # p->Field = x, p->Field += x, p->Field[i] = x, p->Field++ (not ==, <=, >=)
    r"(?:->|\.)\s*%s\b\s*(?:\[[^]]*\]\s*)?(?:(?:<<|>>|[-+*/%%&|^])?=(?!=)|\+\+|--)"
    # ++p->Field, --p->Field
    r"|(?:\+\+|--)\s*[A-Za-z_][\w]*(?:\(\))?\s*(?:->|\.)\s*%s\b" % (RING_FIELDS, RING_FIELDS)
)


def include_direction(path, name):
    """Why a driver source may not include the project header NAME, or None. Everything below
    driver/ sees nothing of it; port/, which the other folders build on, sees only the
    queue's public header (the record embeds its queues)."""
    if name.startswith("driver/") and not path.startswith("driver/"):
        return "includes %s from below driver/" % name
    if path.startswith("port/") and (
        name.startswith(("serial/", "peer/", "trace/"))
        or (name.startswith("queue/") and name != "queue/queue.h")
    ):
        return "port/ includes %s from a folder built on it" % name
    return None


def repo_files(root):
    try:
        inside = subprocess.run(
            ["git", "-C", root, "rev-parse", "--is-inside-work-tree"],
            capture_output=True, text=True, check=False,
        )
    except OSError:
        inside = None
    if inside is not None and inside.returncode == 0 and inside.stdout.strip() == "true":
        listed = subprocess.run(
            ["git", "-C", root, "ls-files", "--cached", "--others", "--exclude-standard"],
            capture_output=True, text=True, check=True,
        ).stdout.splitlines()
        return sorted(p for p in listed if os.path.isfile(os.path.join(root, p)))
    found = []
    for directory, subdirs, names in os.walk(root):
        subdirs[:] = [d for d in subdirs if d not in (".git", "build", ".cache")]
        for name in names:
            found.append(os.path.relpath(os.path.join(directory, name), root))
    return sorted(found)


def blank(text, keep_strings):
    """Replaces comments (and, unless keep_strings, string and character literals) by spaces,
    keeping every newline so that line numbers stay right."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(text[i:j] if keep_strings else c + " " * (j - i - 2) + c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def check_driver_source(path, text, findings):
    for number, line in enumerate(blank(text, keep_strings=True).splitlines(), 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        kind, name = match.groups()
        if kind == "<" and name not in ALLOWED_SYSTEM_HEADERS:
            findings.append("%s:%d: includes <%s>, not a WDK header" % (path, number, name))
        elif kind == '"' and name.startswith("platform/"):
            findings.append("%s:%d: includes the platform layer (%s)" % (path, number, name))
        elif kind == '"' and include_direction(path, name):
            findings.append("%s:%d: %s" % (path, number, include_direction(path, name)))
    for number, line in enumerate(blank(text, keep_strings=False).splitlines(), 1):
        if line.lstrip().startswith("#"):
            continue
        for pattern, what in DRIVER_CONSTRUCTS:
            if pattern.search(line):
                findings.append("%s:%d: %s in driver code" % (path, number, what))
        if path not in RING_OWNER and RING_WRITE.search(line):
            findings.append("%s:%d: writes an input-ring field outside serial/input_ring"
                            % (path, number))


def check_file(path, text, findings):
    """Appends the findings of one repository file (PATH relative to the root)."""
    for number, line in enumerate(text.splitlines(), 1):
        if BANNED_WORDS.search(line):
            findings.append("%s:%d: names the design documents" % (path, number))
    if path.startswith(DRIVER_FOLDERS) and path.endswith((".h", ".cpp")):
        check_driver_source(path, text, findings)
    if path.startswith(PLATFORM_USERS + ("platform/",)) and path.endswith((".h", ".cpp")):
        check_platform_includes(path, text, findings)


# The platform's components see one another only through these headers; everything else in a
# component's folder is its own. Code outside the platform sees only the application face.
PLATFORM_FACE = "platform/machine/machine.h"
PLATFORM_PUBLIC = {
    PLATFORM_FACE,
    "platform/verifier/rules.h",
    "platform/verifier/verifier.h",
    "platform/executive/executive.h",
    "platform/io/io.h",
}
PLATFORM_USERS = ("host/", "tests/", "bench/", "fuzz/", "examples/")


def check_platform_includes(path, text, findings):
    component = path.split("/")[1] if path.startswith("platform/") else None
    for number, line in enumerate(blank(text, keep_strings=True).splitlines(), 1):
        match = INCLUDE.match(line)
        if not match or match.group(1) != '"' or not match.group(2).startswith("platform/"):
            continue
        name = match.group(2)
        if component is None:
            if name != PLATFORM_FACE:
                findings.append("%s:%d: includes %s; outside the platform only %s"
                                % (path, number, name, PLATFORM_FACE))
        elif name.split("/")[1] != component and name not in PLATFORM_PUBLIC:
            findings.append("%s:%d: includes %s, an internal header of another component"
                            % (path, number, name))


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        print("usage: lint.py REPO_ROOT", file=sys.stderr)
        return 2
    root = sys.argv[1]
    findings = []
    for path in repo_files(root):
        if path.endswith(".md"):
            continue
        with open(os.path.join(root, path), "rb") as handle:
            data = handle.read()
        if b"\0" in data:
            continue
        check_file(path, data.decode("utf-8", errors="replace"), findings)
    for finding in findings:
        print(finding)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
