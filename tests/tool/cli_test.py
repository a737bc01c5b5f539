#!/usr/bin/env python3
"""The quarvex command run as a user runs it: help, errors and exit codes, the demo, the
listing, and a file sent from COM5 to COM6 of two processes joined over TCP."""

import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

QUARVEX = None
COMMANDS = ["demo", "run", "list", "term", "send", "recv", "serve", "bridge"]
HEADER = "Windows Registry Editor Version 5.00\n\n"
PORT_KEY = ("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\{:04d}"
            "\\Device Parameters]\n")


def run(*args, timeout=120, **kwargs):
    return subprocess.run([QUARVEX, *args], capture_output=True, text=True, timeout=timeout,
                          **kwargs)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, text):
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_help_of_every_command(self):
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        for command in COMMANDS:
            self.assertIn(command, result.stdout)
            own = run(command, "--help")
            self.assertEqual(own.returncode, 0, command)
            self.assertTrue(own.stdout.startswith("usage: quarvex " + command), own.stdout)

    def test_bad_usage_exits_2_with_one_line(self):
        for args, message in [
            ((), "usage: quarvex"),
            (("frobnicate",), "unknown command frobnicate"),
            (("list", "--colour", "red"), "unknown option --colour"),
            (("send", "COM5"), "send needs a port and a file"),
            (("term", "LPT1"), "bad port name LPT1"),
            (("demo", "--com-period", "0"), "--com-period needs milliseconds"),
            (("demo", "--trace", "disk:3"), "--trace needs COMPONENTS:LEVEL"),
            (("term", "COM5", "--parity", "x"), "--parity needs"),
            (("bridge", "COM5"), "bridge needs --pty, --tcp, --listen or --rfc2217"),
        ]:
            result = run(*args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(message, result.stderr, args)

    def test_failures_exit_1_and_name_the_problem(self):
        bad = self.write("bad.reg", HEADER + PORT_KEY.format(0) +
                         '"PortName"="COM7"\n"Peer"="telepathy"\n')
        result = run("list", bad)
        self.assertEqual(result.returncode, 1)
        self.assertIn(bad + ":5: unknown peer kind \"telepathy\"", result.stderr)
        result = run("list", "--config", os.path.join(self.dir.name, "absent.reg"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot open the configuration file", result.stderr)
        result = run("send", "COM9", "/etc/hostname")
        self.assertEqual(result.returncode, 1)
        self.assertIn("unknown port COM9 (the configuration has COM5, COM6)", result.stderr)
        result = run("send", "COM5", os.path.join(self.dir.name, "absent.bin"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot read", result.stderr)

    def test_list_shows_the_default_ports(self):
        result = run("list")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[1].startswith("COM5"), result.stdout)
        self.assertIn("\\Device\\QuarvexDevice0", lines[1])
        self.assertIn("pair:COM6", lines[1])
        self.assertTrue(lines[2].startswith("COM6"), result.stdout)

    def test_demo_holds_every_check(self):
        result = run("demo", timeout=180)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("every check held", result.stdout)
        self.assertNotIn("FAIL", result.stdout)

    def test_trace_goes_to_standard_error(self):
        result = run("list", "--trace", "init,pnp:3")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("DriverEntry++", result.stderr)
        self.assertIn("QuarvexPnpDispatch", result.stderr)

    def test_run_serves_until_interrupted_and_reports_status(self):
        process = subprocess.Popen([QUARVEX, "run", "--status-every", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(2.5)
        process.terminate()
        out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        self.assertIn("serving 2 port(s)", out)
        self.assertIn("status: pair COM5 <-> COM6", out)
        self.assertIn("nothing left allocated", out)

    def test_serve_answers_rfc2217_and_refuses_a_used_address(self):
        loop = self.write("loop.reg", HEADER + PORT_KEY.format(0) +
                          '"PortName"="COM7"\n"Peer"="loopback"\n')
        port = free_port()
        process = subprocess.Popen([QUARVEX, "serve", "COM7", "--rfc2217", "127.0.0.1:%d" % port,
                                    "--config", loop],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.time() + 20
            client = None
            while client is None and time.time() < deadline:
                try:
                    client = socket.create_connection(("127.0.0.1", port), timeout=5)
                except OSError:
                    time.sleep(0.2)
            self.assertIsNotNone(client, "the server never listened")
            # DO COM-PORT-OPTION: the server agrees with WILL.
            client.sendall(bytes([255, 253, 44]))
            seen = b""
            while bytes([255, 251, 44]) not in seen and time.time() < deadline:
                seen += client.recv(256)
            self.assertIn(bytes([255, 251, 44]), seen)
            second = run("serve", "COM7", "--rfc2217", "127.0.0.1:%d" % port, "--config", loop)
            self.assertEqual(second.returncode, 1)
            self.assertIn(str(port), second.stderr)
            client.close()
        finally:
            process.terminate()
            out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        result = run("serve", "COM9", "--rfc2217", "0", "--config", loop)
        self.assertEqual(result.returncode, 1)
        self.assertIn("unknown port COM9", result.stderr)

    def test_send_and_recv_a_mebibyte_between_two_processes(self):
        port = free_port()
        base = HEADER + ("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
                         '"ComPeriod"=dword:00000001\n\n')
        receiver = self.write("recv.reg", base + PORT_KEY.format(0) +
                              '"PortName"="COM6"\n"Peer"="tcp-server:127.0.0.1:%d"\n' % port)
        sender = self.write("send.reg", base + PORT_KEY.format(0) +
                            '"PortName"="COM5"\n"Peer"="tcp-client:127.0.0.1:%d"\n' % port)
        check = run("list", sender)
        if "unknown peer kind" in check.stderr:
            self.skipTest("this build has no TCP peer")
        data = os.urandom(1 << 20)
        source = os.path.join(self.dir.name, "source.bin")
        target = os.path.join(self.dir.name, "target.bin")
        with open(source, "wb") as f:
            f.write(data)
        # At 115200 baud the receiving bridge would pace the mebibyte over 90 s.
        recv = subprocess.Popen([QUARVEX, "recv", "--config", receiver, "COM6", target,
                                 "--idle", "3", "--flow", "rtscts", "--baud", "4000000"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)
        send = run("send", "--config", sender, "COM5", source, "--flow", "rtscts",
                   "--baud", "4000000", timeout=180)
        out, err = recv.communicate(timeout=180)
        self.assertEqual(send.returncode, 0, send.stderr)
        self.assertEqual(recv.returncode, 0, err)
        with open(target, "rb") as f:
            received = f.read()
        self.assertEqual(hashlib.sha256(received).hexdigest(), hashlib.sha256(data).hexdigest())


if __name__ == "__main__":
    QUARVEX = sys.argv.pop(1)
    unittest.main(verbosity=2)
