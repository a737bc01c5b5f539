#!/usr/bin/env python3
"""Checks the driver's installation file against the build: the Ports class and its GUID,
a dated version, every section it references present, the service named as the driver reads
its key, the service binary being the file the build makes (and copied), a demand-start
kernel service with "ComPeriod" at its key's root, the hardware ID, and every %string%
defined. Usage: check-inf.py INF_FILE SYS_NAME HARDWARE_ID. Exit status 1 on any fault."""

import re
import sys

PORTS_CLASS_GUID = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
SERVICE_NAME = "Quarvex"


def parse(text):
    """Sections as {lower-case name: [(key or None, [values])]}, comments stripped; plus the
    names in their original order for messages."""
    sections = {}
    current = None
    for raw in text.splitlines():
        line = re.sub(r'\s*;(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", raw).strip()
        if not line:
            continue
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            current = header.group(1).strip().lower()
            sections.setdefault(current, [])
            continue
        if current is None:
            continue
        key, sep, rest = line.partition("=")
        if sep:
            values = [v.strip() for v in rest.split(",")]
            sections[current].append((key.strip(), values))
        else:
            sections[current].append((None, [v.strip() for v in line.split(",")]))
    return sections


def value(section, key):
    for entry_key, values in section:
        if entry_key is not None and entry_key.lower() == key.lower():
            return values
    return None


def values_of(section, key):
    return [values for entry_key, values in section
            if entry_key is not None and entry_key.lower() == key.lower()]


def check(text, sys_name, hardware_id):
    faults = []
    sections = parse(text)

    def need(name, why):
        if name.lower() not in sections:
            faults.append("section [%s] (%s) is missing" % (name, why))
            return []
        return sections[name.lower()]

    version = need("Version", "header")
    if (value(version, "Signature") or [""])[0].strip('"').lower() != "$windows nt$":
        faults.append('Signature is not "$Windows NT$"')
    if (value(version, "Class") or [""])[0].lower() != "ports":
        faults.append("Class is not Ports")
    if (value(version, "ClassGuid") or [""])[0].upper() != PORTS_CLASS_GUID:
        faults.append("ClassGuid is not the Ports class %s" % PORTS_CLASS_GUID)
    driver_ver = value(version, "DriverVer") or []
    if (len(driver_ver) != 2 or not re.fullmatch(r"\d\d/\d\d/\d{4}", driver_ver[0])
            or not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", driver_ver[1])):
        faults.append("DriverVer is not mm/dd/yyyy,w.x.y.z")

    files = need("SourceDisksFiles", "where the binary comes from")
    if not any(k is not None and k.lower() == sys_name.lower() for k, _ in files):
        faults.append("[SourceDisksFiles] does not list %s" % sys_name)
    disks = need("SourceDisksNames", "the installation disk")
    for key, values in files:
        if key is not None and value(disks, values[0]) is None:
            faults.append("disk %s of %s is not in [SourceDisksNames]" % (values[0], key))
    need("DestinationDirs", "where files are copied")

    models_found = []
    for _, values in need("Manufacturer", "the models"):
        models_found.append(values[0])
    if not models_found:
        faults.append("[Manufacturer] names no models section")
    installs = []
    for models in models_found:
        for key, values in need(models, "models of the manufacturer"):
            if key is None or len(values) < 2:
                continue
            if values[1].lower() != hardware_id.lower():
                faults.append("hardware ID %s is not %s" % (values[1], hardware_id))
            installs.append(values[0])
    if not installs:
        faults.append("no device is installed by any models section")

    for install in installs:
        base = install + ".NT" if install.lower() + ".nt" in sections else install
        body = need(base, "install section of the model")
        copied = []
        for files_list in values_of(body, "CopyFiles"):
            for name in files_list:
                copied += [v[0].lower() for _, v in need(name, "CopyFiles of " + base)]
        if sys_name.lower() not in copied:
            faults.append("%s does not copy %s" % (base, sys_name))
        hw = sections.get((base + ".HW").lower(), [])
        for reg_list in values_of(hw, "AddReg"):
            for name in reg_list:
                need(name, "AddReg of %s.HW" % base)
        services = need(base + ".Services", "the function driver's service")
        added = values_of(services, "AddService")
        if not added:
            faults.append("%s.Services adds no service" % base)
        for values in added:
            if values[0] != SERVICE_NAME:
                faults.append("service %s is not %s, whose key the driver reads" %
                              (values[0], SERVICE_NAME))
            if len(values) < 3 or int(values[1], 0) & 0x2 == 0:
                faults.append("service %s is not marked as the function driver" % values[0])
                continue
            service = need(values[2], "service-install section of " + values[0])
            for field, expected in (("ServiceType", 1), ("StartType", 3),
                                    ("ErrorControl", 1)):
                got = value(service, field)
                if got is None or int(got[0], 0) != expected:
                    faults.append("%s of %s is not %d" % (field, values[2], expected))
            binary = (value(service, "ServiceBinary") or [""])[0]
            if not binary.lower().endswith("\\" + sys_name.lower()):
                faults.append("ServiceBinary %s is not %s" % (binary or "(none)", sys_name))
            period = False
            for reg_list in values_of(service, "AddReg"):
                for name in reg_list:
                    for _, reg in need(name, "AddReg of " + values[2]):
                        if (len(reg) >= 5 and reg[0].upper() == "HKR" and reg[1] == "" and
                                reg[2] == "ComPeriod" and int(reg[3], 0) == 0x10001):
                            period = True
            if not period:
                faults.append('no REG_DWORD "ComPeriod" at the root of the service key')

    strings = {k.lower() for k, _ in sections.get("strings", []) if k is not None}
    for token in set(re.findall(r"%([A-Za-z_][A-Za-z0-9_]*)%", text)):
        if token.lower() not in strings:
            faults.append("%%%s%% is not defined in [Strings]" % token)
    return faults


def main(argv):
    if len(argv) != 4:
        print("usage: check-inf.py INF_FILE SYS_NAME HARDWARE_ID", file=sys.stderr)
        return 2
    try:
        with open(argv[1], encoding="utf-8") as handle:
            text = handle.read()
    except OSError as error:
        print("check-inf: %s" % error, file=sys.stderr)
        return 2
    faults = check(text, argv[2], argv[3])
    for fault in faults:
        print("check-inf: %s: %s" % (argv[1], fault), file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
