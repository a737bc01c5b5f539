#!/usr/bin/env python3
"""Checks the peer driver's installation script against the build: Windows line endings, an
"install" and a "remove" entry, the image copied into System32\\drivers, a kernel service of
the right name created with sc's "name= value" syntax, starting with the system or on demand,
whose binary is the copied image, started after creation, and stopped, deleted and its file
removed again. Usage: check-service-cmd.py CMD_FILE SYS_NAME SERVICE_NAME. Exit status 1 on any
fault."""

import re
import sys

DRIVERS_DIR = "system32\\drivers\\"


def expand(text, variables):
    """%NAME% replaced by the value a "set NAME=value" line gave it; others stay."""
    return re.sub(r"%(\w+)%", lambda m: variables.get(m.group(1).upper(), m.group(0)), text)


def sc_options(words):
    """sc's options are "name=" followed by the value as the next word. Returns (options,
    faults)."""
    options, faults = {}, []
    i = 0
    while i < len(words):
        word = words[i]
        if "=" in word and not word.endswith("="):
            faults.append('sc option "%s" needs a space after "=" (sc ignores it otherwise)'
                          % word)
        elif word.endswith("=") and i + 1 < len(words):
            options[word[:-1].lower()] = words[i + 1].strip('"')
            i += 1
        i += 1
    return options, faults


def sections(lines):
    """Lines by label (":install"), the lines before the first label under ""."""
    found, current = {"": []}, ""
    for line in lines:
        label = re.fullmatch(r":(\w+)", line)
        if label:
            current = label.group(1).lower()
            found[current] = []
        else:
            found[current].append(line)
    return found


def check(data, sys_name, service):
    faults = []
    text = data.decode("ascii", "replace")
    if "\n" in text.replace("\r\n", ""):
        faults.append("line endings are not CRLF (cmd.exe misreads labels otherwise)")
    lines = [line.strip() for line in text.replace("\r\n", "\n").split("\n")]
    lines = [line for line in lines if line and not line.lower().startswith("rem ")]
    if not lines or lines[0].lower() != "@echo off":
        faults.append("does not start with @echo off")
    variables = {}
    for line in lines:
        match = re.fullmatch(r"set (\w+)=(.*)", line, re.IGNORECASE)
        if match:
            variables[match.group(1).upper()] = expand(match.group(2), variables)
    expanded = [expand(line, variables) for line in lines]
    parts = sections(expanded)
    for target in re.findall(r"\bgoto (\w+)", " ".join(expanded), re.IGNORECASE):
        if target.lower() not in parts:
            faults.append("goto %s has no label" % target)
    for entry in ("install", "remove"):
        if entry not in parts:
            faults.append("no :%s entry" % entry)
    install, remove = parts.get("install", []), parts.get("remove", [])

    copied = None
    for line in install:
        match = re.match(r'copy\s+(?:/y\s+)?"([^"]+)"\s+"([^"]+)"', line, re.IGNORECASE)
        if match:
            copied = match.group(2)
            if not match.group(1).lower().endswith(sys_name.lower()):
                faults.append("copies %s, not %s" % (match.group(1), sys_name))
    if copied is None:
        faults.append("install copies no image")
    elif not copied.lower().endswith(DRIVERS_DIR + sys_name.lower()):
        faults.append("copies the image to %s, not System32\\drivers\\%s" % (copied, sys_name))

    created = [line.split() for line in install if re.match(r"sc\s+create\b", line, re.I)]
    if len(created) != 1:
        faults.append("install creates %d services, not one" % len(created))
    for words in created:
        if len(words) < 3 or words[2] != service:
            faults.append("creates service %s, not %s" % (words[2:3], service))
        options, syntax = sc_options(words[3:])
        faults += syntax
        if options.get("type", "").lower() != "kernel":
            faults.append("service type is %s, not kernel" % options.get("type"))
        if options.get("start", "").lower() not in ("system", "demand"):
            faults.append("start is %s, not system or demand" % options.get("start"))
        binary = options.get("binpath", "")
        if not binary.lower().endswith(DRIVERS_DIR + sys_name.lower()):
            faults.append("binPath %s is not the copied System32\\drivers\\%s" %
                          (binary or "(none)", sys_name))
    if not any(re.fullmatch(r"sc\s+start\s+%s" % re.escape(service), line, re.I)
               for line in install):
        faults.append("install does not start %s" % service)

    for verb in ("stop", "delete"):
        if not any(re.match(r"sc\s+%s\s+%s\b" % (verb, re.escape(service)), line, re.I)
                   for line in remove):
            faults.append("remove does not %s %s" % (verb, service))
    if copied is not None and not any(line.lower() == 'del "%s"' % copied.lower()
                                      for line in remove):
        faults.append("remove leaves %s behind" % copied)
    return faults


def main(argv):
    if len(argv) != 4:
        print("usage: check-service-cmd.py CMD_FILE SYS_NAME SERVICE_NAME", file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as handle:
            data = handle.read()
    except OSError as error:
        print("check-service-cmd: %s" % error, file=sys.stderr)
        return 2
    faults = check(data, argv[2], argv[3])
    for fault in faults:
        print("check-service-cmd: %s: %s" % (argv[1], fault), file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
