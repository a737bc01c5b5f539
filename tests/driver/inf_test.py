#!/usr/bin/env python3
"""The installation file matches the build, and the checker notices each way it could stop
matching. Usage: inf_test.py REPO_ROOT SYS_NAME HARDWARE_ID."""

import importlib.util
import os
import sys

root, sys_name, hardware_id = sys.argv[1:4]
module_spec = importlib.util.spec_from_file_location("check_inf",
                                              os.path.join(root, "scripts", "check-inf.py"))
check_inf = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(check_inf)

with open(os.path.join(root, "driver", "quarvex.inf"), encoding="utf-8") as handle:
    good = handle.read()

failures = []
faults = check_inf.check(good, sys_name, hardware_id)
if faults:
    failures.append("the installation file itself: " + "; ".join(faults))

# Each mutation must be caught, by a fault message containing the fragment.
MUTATIONS = [
    ("[Quarvex_Files]", "[Quarvex_Filez]", "Quarvex_Files"),
    ("= Quarvex_Inst, root\\quarvex", "= Quarvex_Inst, root\\other", "hardware ID"),
    ("ServiceBinary = %12%\\quarvex.sys", "ServiceBinary = %12%\\other.sys", "ServiceBinary"),
    ("quarvex.sys = 1", "other.sys = 1", "SourceDisksFiles"),
    ("StartType     = 3", "StartType     = 2", "StartType"),
    ("AddService = Quarvex,", "AddService = Serial,", "whose key the driver reads"),
    ("HKR,,ComPeriod,0x00010001,20", "HKR,Parameters,ComPeriod,0x00010001,20", "ComPeriod"),
    ("{4D36E978-E325-11CE-BFC1-08002BE10318}", "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
     "ClassGuid"),
    ("DevDesc  = ", "DevDescription = ", "%DevDesc%"),
    ("[Quarvex_Inst.NT.Services]", "[Quarvex_Inst.NT.Service]", "Services"),
]
for old, new, fragment in MUTATIONS:
    if old not in good:
        failures.append("mutation anchor not found: %s" % old)
        continue
    faults = check_inf.check(good.replace(old, new, 1), sys_name, hardware_id)
    if not any(fragment in fault for fault in faults):
        failures.append("%r -> %r went unnoticed (faults: %s)" % (old, new, faults))

for failure in failures:
    print("inf_test: " + failure)
print("%d passed, %d failed" % (1 + len(MUTATIONS) - len(failures), len(failures)))
sys.exit(1 if failures else 0)
