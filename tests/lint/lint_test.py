#!/usr/bin/env python3
"""Cases for the lint's driver rules: each must catch what it is for and pass what is fine."""

import os
import sys
import unittest

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lint  # noqa: E402


def findings(path, text):
    found = []
    lint.check_file(path, text, found)
    return found


class RingOwnerTest(unittest.TestCase):
    """Only serial/input_ring writes the ring's fields and the limits set from its size."""

    WRITES = [
        "Port->InputCount = 0;",
        "port->IsrNextSlot++;",
        "++Port->InputCount;",
        "Port->InputFirstChar += count;",
        "*Port->IsrNextSlot = Ch;",
        "Port->InputBuffer[3] = Ch;",
        "Port->HandFlow.XoffLimit = static_cast<LONG>(size / 8);",
    ]
    READS = [
        "if (Port->InputCount == Port->InputFullMark) {",
        "const ULONG held = Port->InputCount;",
        "return Port->InputCount <= limit || Port->IsrTargetBase != Port->InputBuffer;",
        "return flow->XonLimit >= 0;",
        "Port->HandFlow = *New;",
    ]

    def test_writes_elsewhere_are_refused(self):
        for line in self.WRITES:
            self.assertEqual(len(findings("serial/read.cpp", line + "\n")), 1, line)

    def test_reads_and_the_owner_pass(self):
        for line in self.READS:
            self.assertEqual(findings("serial/read.cpp", line + "\n"), [], line)
        for line in self.WRITES:
            self.assertEqual(findings("serial/input_ring.h", line + "\n"), [], line)
        # Tests and the host may set up a port as they like.
        self.assertEqual(findings("tests/serial/lines_test.cpp", "Port()->InputCount = 1;\n"), [])


class IncludeDirectionTest(unittest.TestCase):
    """Nothing below driver/ includes it; port/ includes nothing built on it."""

    def test_upward_includes_are_refused(self):
        for path, name in [
            ("queue/queue.cpp", "driver/driver.h"),
            ("trace/trace.cpp", "driver/kcompat.h"),
            ("port/uart.cpp", "serial/interrupt.h"),
            ("port/port.h", "peer/peer.h"),
            ("port/port.cpp", "queue/queue_internal.h"),
        ]:
            self.assertEqual(len(findings(path, '#include "%s"\n' % name)), 1, (path, name))

    def test_downward_includes_pass(self):
        for path, name in [
            ("driver/pnp.cpp", "driver/driver.h"),
            ("port/port.h", "queue/queue.h"),
            ("serial/read.cpp", "port/kcompat.h"),
            ("tests/driver/pnp_test.cpp", "driver/driver.h"),
        ]:
            self.assertEqual(findings(path, '#include "%s"\n' % name), [], (path, name))


if __name__ == "__main__":
    unittest.main()
