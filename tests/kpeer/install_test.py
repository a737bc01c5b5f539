#!/usr/bin/env python3
"""The peer driver's installation script matches the build, and the checker notices each way
it could stop matching. Usage: install_test.py REPO_ROOT SYS_NAME SERVICE_NAME."""

import importlib.util
import os
import sys

root, sys_name, service = sys.argv[1:4]
module_spec = importlib.util.spec_from_file_location(
    "check_service_cmd", os.path.join(root, "scripts", "check-service-cmd.py"))
checker = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(checker)

with open(os.path.join(root, "kpeer", "quarvexpeer.cmd"), "rb") as handle:
    good = handle.read()

failures = []
faults = checker.check(good, sys_name, service)
if faults:
    failures.append("the installation script itself: " + "; ".join(faults))

# Each mutation must be caught, by a fault message containing the fragment.
MUTATIONS = [
    (b"type= kernel", b"type= own", "not kernel"),
    (b"start= system", b"start= auto", "start is"),
    (b"start= system", b"start=system", "needs a space"),
    (b"set IMAGE=quarvexpeer.sys", b"set IMAGE=quarvex.sys", "copies"),
    (b"binPath= System32\\drivers\\%IMAGE%", b"binPath= %IMAGE%", "binPath"),
    (b"set SERVICE=QuarvexPeer", b"set SERVICE=Quarvex", "creates service"),
    (b"sc start %SERVICE%\r\n", b"", "does not start"),
    (b"sc delete %SERVICE%", b"sc query %SERVICE%", "does not delete"),
    (b'del "%TARGET%"', b'del "%~dp0%IMAGE%"', "leaves"),
    (b"goto remove", b"goto uninstall", "no label"),
    (b"\r\n", b"\n", "CRLF"),
]
for old, new, fragment in MUTATIONS:
    if old not in good:
        failures.append("mutation anchor not found: %r" % old)
        continue
    faults = checker.check(good.replace(old, new, 1) if old != b"\r\n" else
                           good.replace(old, new), sys_name, service)
    if not any(fragment in fault for fault in faults):
        failures.append("%r -> %r went unnoticed (faults: %s)" % (old, new, faults))

for failure in failures:
    print("install_test: " + failure)
print("%d passed, %d failed" % (1 + len(MUTATIONS) - len(failures), len(failures)))
sys.exit(1 if failures else 0)
