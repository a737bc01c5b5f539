#!/usr/bin/env python3
"""The quarvex command run as a user runs it: help, errors and exit codes, the demo at two
send periods, the listing and the configuration check, files sent between two processes joined
over TCP and what send and recv say when bytes go missing, terminal links, the network
defaults of the servers, and the terminal on a pseudo-terminal and on a pipe."""

import glob
import hashlib
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

QUARVEX = None
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
COMMANDS = ["demo", "run", "status", "list", "check", "config", "term", "send", "recv", "serve", "bridge"]
HEADER = "Windows Registry Editor Version 5.00\n\n"
SERVICE = ("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quarvex]\n"
           '"ComPeriod"=dword:00000001\n\n')
PORT_KEY = ("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\{:04d}"
            "\\Device Parameters]\n")


def run(*args, timeout=120, **kwargs):
    return subprocess.run([QUARVEX, *args], capture_output=True, text=True, timeout=timeout,
                          **kwargs)


def start(*args, **kwargs):
    return subprocess.Popen([QUARVEX, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, **kwargs)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ports(*peers):
    """A configuration with ComPeriod 1 and one port per (name, peer)."""
    return HEADER + SERVICE + "".join(PORT_KEY.format(i) + '"PortName"="%s"\n"Peer"="%s"\n'
                                      % peer for i, peer in enumerate(peers))


def wait_for(condition, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    return condition()


def connect(port, seconds=20):
    return wait_for(lambda: _try_connect(port), seconds)


def _try_connect(port):
    try:
        return socket.create_connection(("127.0.0.1", port), timeout=5)
    except OSError:
        return None


def read_until(connection, wanted, seconds=10):
    """What the connection sends until `wanted` is in it or it ends."""
    seen = b""
    deadline = time.time() + seconds
    while wanted not in seen and time.time() < deadline:
        piece = connection.recv(4096)
        if not piece:
            break
        seen += piece
    return seen


class Cli(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        # Links made by bare name go to a runtime folder of the test's own.
        self.runtime = os.path.join(self.dir.name, "run")
        os.mkdir(self.runtime, 0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime)

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, text, encoding="utf-8"):
        path = os.path.join(self.dir.name, name)
        with open(path, "w", encoding=encoding, newline="") as f:
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
            (("term", "COM" + "7" * 100000), "(100003 characters) (COM1 to COM4096)"),
            (("bridge", "COM5", "--pty", "relative/x"),
             "--pty relative/x: peer \"pty\": needs an absolute path or a bare name"),
            (("serve", "COM5", "--rfc2217", "0", "--allow", "ten"), "--allow: bad address"),
            (("config",), "config takes --default"),
            (("term", "COM5", "--map", "up"), "--map needs"),
        ]:
            result = run(*args)
            shown = " ".join(arg[:40] for arg in args)
            self.assertEqual(result.returncode, 2, shown)
            self.assertIn(message, result.stderr, shown)
            if args:
                self.assertLess(len(result.stderr), 300, "a message echoes what it was given whole")

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
        # Two commands in two terminals each boot a driver of their own: nothing would pass.
        data = self.write("data.bin", "some data")
        for command, port, other in [("send", "COM5", "COM6"), ("recv", "COM6", "COM5")]:
            result = run(command, port, data, timeout=20)
            self.assertEqual(result.returncode, 1, command)
            self.assertIn("%s %s: its far side is %s (pair:%s), which nothing in this process "
                          "uses: each quarvex process runs its own driver" % (command, port, other,
                                                                             other),
                          result.stderr)
            self.assertIn("tcp-server", result.stderr)

    def test_configuration_as_the_registry_editor_writes_it_checked_strictly(self):
        # UTF-16 LE with its byte-order mark and CRLF, the registry editor's own export.
        exported = self.write("exported.reg", ports(("COM7", "loopback")).replace("\n", "\r\n"),
                              encoding="utf-16")
        result = run("list", exported)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"COM7 +\\Device\\QuarvexDevice0 +loopback +starts")
        for name, text, message in [
            ("pear.reg", HEADER + PORT_KEY.format(0) + '"PortName"="COM7"\n"Pear"="loopback"\n',
             ':5: unknown value name "Pear" in a port\'s key; the nearest known name is "Peer"'),
            ("twice.reg", HEADER + PORT_KEY.format(0) + '"PortName"="COM7"\n' + PORT_KEY.format(0)
             + '"Peer"="none"\n', ":5: a second key for the port instance 0000 (the first is "
             "at line 3)"),
            ("big.reg", HEADER + ";" * (2 << 20), ": larger than 1048576 bytes"),
        ]:
            path = self.write(name, text)
            for command in ["list", "check", "run"]:
                result = run(command, path, timeout=20)
                self.assertEqual(result.returncode, 1, (name, command))
                self.assertIn(path + message, result.stderr, (name, command))
        # check and list name what would keep run from starting.
        for peers, message in [
            ((("COM7", "pair:COM8"),), "COM7: its pair COM8 must exist and name it back"),
            ((("COM7", "rfc2217:no-such-host.invalid:2217"),), "cannot resolve"),
        ]:
            path = self.write("peers.reg", ports(*peers))
            result = run("check", path, timeout=60)
            self.assertEqual(result.returncode, 1, peers)
            self.assertIn(message, result.stderr)
            result = run("list", path, timeout=60)
            self.assertEqual(result.returncode, 1, peers)
            self.assertIn("would not start: ", result.stdout)
            self.assertIn(message, result.stdout)
        # The built-in configuration is a start for one's own, and every example starts.
        default = run("config", "--default")
        self.assertEqual(default.returncode, 0)
        result = run("check", "/dev/stdin", input=default.stdout)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("2 port(s); run would start them", result.stdout)
        examples = sorted(glob.glob(os.path.join(SOURCE, "examples", "*.reg")))
        self.assertGreaterEqual(len(examples), 7)
        for example in examples:
            result = run("check", example, env=self.env, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
        # The tool's own configuration of a bridge is named by the option the user wrote.
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen(1)
            taken = busy.getsockname()[1]
            result = run("bridge", "COM5", "--listen", str(taken), timeout=20)
        self.assertEqual(result.returncode, 1)
        self.assertIn("COM5: cannot listen on 127.0.0.1:%d: Address already in use" % taken,
                      result.stderr)
        self.assertNotIn("command line", result.stderr)

    def test_list_shows_the_default_ports(self):
        result = run("list")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[1].startswith("COM5"), result.stdout)
        self.assertIn("\\Device\\QuarvexDevice0", lines[1])
        self.assertIn("pair:COM6", lines[1])
        self.assertTrue(lines[2].startswith("COM6"), result.stdout)

    def test_demo_holds_every_check_at_the_fastest_and_at_the_windows_period(self):
        # The production machine by default; --verify runs the tests' verifier and says so.
        for arguments in [("--com-period", "1", "--verify"), ("--com-period", "20"),
                          ("--com-period", "1", "--kernel-peer", "--verify")]:
            result = run("demo", *arguments, timeout=120)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn("every check held", result.stdout)
            self.assertIn("verifier: no rule fired" if "--verify" in arguments
                          else "verifier: off (--verify turns it on)", result.stdout)
            self.assertNotIn("FAIL", result.stdout)
            self.assertIn("bytes each way (", result.stdout)
            self.assertRegex(result.stdout, r"Xoff holds COM5's transmitter with [1-9]")

    def test_trace_goes_to_standard_error(self):
        result = run("list", "--trace", "init,pnp:3")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("DriverEntry++", result.stderr)
        self.assertIn("QuarvexPnpDispatch", result.stderr)

    def test_run_serves_until_interrupted_and_reports_status(self):
        process = subprocess.Popen([QUARVEX, "run", "--status-every", "1"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=self.env)
        time.sleep(2.5)
        process.terminate()
        out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        self.assertIn("serving 2 port(s)", out)
        self.assertIn("status: pair COM5 <-> COM6", out)
        self.assertIn("nothing left allocated", out)

    def test_run_serves_other_processes_through_its_socket(self):
        sock = os.path.join(self.runtime, "service", "q.sock")
        env = dict(self.env, QUARVEX_SOCKET=sock)
        process = start("run", "--com-period", "1", "--socket", sock, env=self.env)
        try:
            self.assertIn("COM5", process.stdout.readline())
            process.stdout.readline()
            self.assertIn("reach the ports through " + sock, process.stdout.readline())
            self.assertEqual(os.stat(sock).st_mode & 0o777, 0o660)
            self.assertEqual(os.stat(os.path.dirname(sock)).st_mode & 0o777, 0o700)
            again = run("run", "--socket", sock, env=self.env, timeout=30)
            self.assertEqual(again.returncode, 1)
            self.assertIn("another quarvex service is running on " + sock, again.stderr)
            data = bytes(range(256)) * 200
            source = os.path.join(self.dir.name, "in.bin")
            target = os.path.join(self.dir.name, "out.bin")
            with open(source, "wb") as f:
                f.write(data)
            # recv on COM6 and send on COM5, each a client of the one service.
            receiver = start("recv", "COM6", target, "--idle", "2", env=env)
            self.assertIn("using the service at " + sock, receiver.stderr.readline())
            self.assertIn("COM6 ready", receiver.stdout.readline())
            sent = run("send", "COM5", source, env=env, timeout=60)
            self.assertEqual(sent.returncode, 0, sent.stderr)
            receiver.communicate(timeout=60)
            self.assertEqual(receiver.returncode, 0)
            with open(target, "rb") as f:
                self.assertEqual(f.read(), data)
            status = run("status", "--socket", sock, env=self.env, timeout=30)
            self.assertEqual(status.returncode, 0, status.stderr)
            self.assertRegex(status.stdout, r"COM5 .* closed; peer pair COM5 <-> COM6: 51200 bytes")
            # A Windows program without a system of its own, told only by the environment.
            hello = subprocess.run([os.path.join(os.path.dirname(QUARVEX), "hello_service")],
                                   capture_output=True, text=True, timeout=30, env=env)
            self.assertEqual(hello.returncode, 0, hello.stderr)
            self.assertIn("COM6 read hello", hello.stdout)
            listed = run("list", env=env, timeout=30)
            self.assertIn("COM6", listed.stdout)
            self.assertIn("using the service at " + sock, listed.stderr)
        finally:
            process.terminate()
            out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        self.assertIn("nothing left allocated", out)
        self.assertFalse(os.path.exists(sock))
        nobody = run("status", "--socket", sock, env=self.env, timeout=30)
        self.assertEqual(nobody.returncode, 1)
        self.assertIn("no service at " + sock, nobody.stderr)

    def test_serve_answers_rfc2217_locally_and_refuses_others_in_order(self):
        loop = self.write("loop.reg", ports(("COM7", "loopback")))
        port = free_port()
        # No address: 127.0.0.1 only.
        process = start("serve", "COM7", "--rfc2217", str(port), "--config", loop)
        try:
            self.assertIn("COM7 over RFC 2217 on 127.0.0.1:%d" % port, process.stdout.readline())
            client = connect(port)
            self.assertIsNotNone(client, "the server never listened")
            # DO COM-PORT-OPTION: the server agrees with WILL.
            client.sendall(bytes([255, 253, 44]))
            self.assertIn(bytes([255, 251, 44]), read_until(client, bytes([255, 251, 44])))
            # A second client, already talking, is told and sees the end of the stream, not a
            # reset.
            second = connect(port)
            second.sendall(b"hello?" * 100)
            told = read_until(second, b"never")
            self.assertEqual(told, b"COM7 is in use by another client\r\n")
            second.close()
            again = run("serve", "COM7", "--rfc2217", "127.0.0.1:%d" % port, "--config", loop)
            self.assertEqual(again.returncode, 1)
            self.assertIn(str(port), again.stderr)
            client.close()
        finally:
            process.terminate()
            out, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        self.assertRegex(err, r"COM7: client 127\.0\.0\.1:\d+ connected")
        self.assertRegex(err, r"COM7: refused client 127\.0\.0\.1:\d+: the port is in use by "
                              r"127\.0\.0\.1:\d+")
        # Clients the allow list does not name are refused the same way.
        process = start("serve", "COM7", "--rfc2217", str(port), "--config", loop, "--allow",
                        "10.0.0.0/8,192.168.0.0/16")
        try:
            process.stdout.readline()
            stranger = connect(port)
            self.assertEqual(read_until(stranger, b"never"),
                             b"COM7 is not served to this address\r\n")
            stranger.close()
        finally:
            process.terminate()
            out, err = process.communicate(timeout=30)
        self.assertIn("the allow list does not name it", err)
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

    def test_send_names_the_bytes_that_never_reached_the_far_side(self):
        data = os.path.join(self.dir.name, "data.bin")
        with open(data, "wb") as f:
            f.write(os.urandom(200000))
        # Nobody listens: every byte still waits when send gives up.
        closed = free_port()
        nowhere = self.write("nowhere.reg", ports(("COM5", "tcp-client:127.0.0.1:%d,retry=50"
                                                   % closed)))
        result = run("send", "--config", nowhere, "COM5", data, "--timeout", "1", timeout=60)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("send COM5: 0 of 200000 bytes reached the far side, 200000 still waiting; "
                      "nothing moved for 1 s", result.stderr)
        self.assertIn("quarvex: peer COM5: tcp-client 127.0.0.1:%d: cannot connect to "
                      "127.0.0.1:%d: Connection refused" % (closed, closed), result.stderr)
        quiet = run("send", "--quiet", "--config", nowhere, "COM5", data, "--timeout", "1",
                    timeout=60)
        self.assertEqual(quiet.returncode, 1)
        self.assertNotIn("peer COM5", quiet.stderr)
        self.assertIn("0 of 200000 bytes reached the far side", quiet.stderr)

        # The far side takes some and goes away.
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        taken = []

        def take_some_and_leave():
            connection, _ = listener.accept()
            listener.close()
            got = 0
            while got < 30000:
                piece = connection.recv(4096)
                if not piece:
                    break
                got += len(piece)
            taken.append(got)
            connection.close()

        thread = threading.Thread(target=take_some_and_leave)
        thread.start()
        dying = self.write("dying.reg", ports(("COM5", "tcp-client:127.0.0.1:%d,retry=50"
                                               % listener.getsockname()[1])))
        result = run("send", "--config", dying, "COM5", data, "--timeout", "1", "--baud",
                     "4000000", timeout=60)
        thread.join(timeout=30)
        self.assertEqual(result.returncode, 1, result.stderr)
        reached = re.search(r"send COM5: (\d+) of 200000 bytes reached the far side", result.stderr)
        self.assertIsNotNone(reached, result.stderr)
        self.assertGreaterEqual(int(reached.group(1)), taken[0])
        self.assertLess(int(reached.group(1)), 200000)
        self.assertIn("closed by the far side", result.stderr)

    def test_recv_interrupted_says_so_and_fails(self):
        port = free_port()
        config = self.write("recv.reg", ports(("COM6", "tcp-server:%d" % port)))
        target = os.path.join(self.dir.name, "target.bin")
        recv = start("recv", "--config", config, "COM6", target, "--baud", "4000000", "--idle",
                     "60")
        client = connect(port)
        self.assertIsNotNone(client, "recv never listened")
        client.sendall(b"x" * 1000)
        wait_for(lambda: os.path.exists(target) and os.path.getsize(target) == 1000)
        recv.send_signal(signal.SIGINT)
        out, err = recv.communicate(timeout=30)
        client.close()
        self.assertEqual(recv.returncode, 1, err)
        self.assertIn("recv COM6: interrupted after 1000 bytes; %s holds only those" % target, err)

    def test_terminal_links_are_owned_and_cleaned_up(self):
        folder = os.path.join(self.runtime, "quarvex")
        link = os.path.join(folder, "ttyQ")
        first = start("bridge", "COM5", "--pty", "ttyQ", env=self.env)
        self.assertTrue(wait_for(lambda: os.path.islink(link)), "no link")
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        second = run("bridge", "COM6", "--pty", "ttyQ", env=self.env, timeout=20)
        self.assertEqual(second.returncode, 1)
        self.assertIn("%s is in use by process %d" % (link, first.pid), second.stderr)
        # A process that dies leaves a stale link, which the next one replaces.
        first.kill()
        first.communicate(timeout=30)
        self.assertTrue(os.path.islink(link))
        third = start("bridge", "COM7", "--pty", "ttyQ", env=self.env)
        bridged = third.stdout.readline()
        self.assertIn("COM7 bridged: pty %s -> /dev/pts/" % link, bridged)
        self.assertEqual(os.readlink(link), bridged.split(" -> ")[1].split()[0])
        third.send_signal(signal.SIGHUP)
        out, err = third.communicate(timeout=30)
        self.assertEqual(third.returncode, 0, err)
        self.assertFalse(os.path.lexists(link), "the link outlived SIGHUP")
        # Folders made for a link go with it, folders that were there stay; SIGTERM too.
        deep = os.path.join(self.dir.name, "made", "for", "COM8")
        fourth = start("bridge", "COM8", "--pty", deep, env=self.env)
        self.assertTrue(wait_for(lambda: os.path.islink(deep)), "no deep link")
        fourth.terminate()
        out, err = fourth.communicate(timeout=30)
        self.assertEqual(fourth.returncode, 0, err)
        self.assertFalse(os.path.lexists(os.path.join(self.dir.name, "made")))
        self.assertTrue(os.path.isdir(self.dir.name))
        # What the tool did not make is never replaced.
        mine = self.write("mine", "keep me")
        for path in [mine, self.dir.name]:
            result = run("bridge", "COM9", "--pty", path, env=self.env, timeout=20)
            self.assertEqual(result.returncode, 1)
            self.assertIn("exists and is not a symbolic link (left alone)", result.stderr)
        os.symlink("/dev/null", os.path.join(self.dir.name, "theirs"))
        result = run("bridge", "COM9", "--pty", os.path.join(self.dir.name, "theirs"),
                     env=self.env, timeout=20)
        self.assertEqual(result.returncode, 1)
        self.assertIn("is a link that quarvex did not make (left alone)", result.stderr)
        with open(mine) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertEqual(os.readlink(os.path.join(self.dir.name, "theirs")), "/dev/null")

    def test_terminal_is_raw_on_a_terminal_and_leaves_when_asked(self):
        config = self.write("loop.reg", ports(("COM7", "loopback")))
        master, slave = pty.openpty()
        before = termios.tcgetattr(slave)
        term = subprocess.Popen([QUARVEX, "term", "--config", config, "COM7", "--map",
                                 "enter=crlf"], stdin=slave, stdout=slave, stderr=slave)
        seen = b""

        def expect(wanted):
            nonlocal seen
            deadline = time.time() + 20
            while wanted not in seen and time.time() < deadline:
                if select.select([master], [], [], 0.2)[0]:
                    seen += os.read(master, 4096)
            self.assertIn(wanted, seen)
            seen = seen[seen.index(wanted) + len(wanted):]

        try:
            expect(b"Ctrl-A Ctrl-X leaves, Ctrl-A Ctrl-B sends a break")
            # Keys go out as typed, Ctrl-C included; Enter as CR LF here; the loopback echoes.
            os.write(master, b"ab\x03")
            expect(b"ab\x03")
            os.write(master, b"\r")
            expect(b"\r\n")
            os.write(master, b"\x01\x02")
            expect(b"break sent")
            os.write(master, b"\x01\x18")
            self.assertEqual(term.wait(timeout=20), 0)
            self.assertEqual(termios.tcgetattr(slave), before, "the terminal was not restored")
        finally:
            if term.poll() is None:
                term.kill()
            os.close(master)
            os.close(slave)
        # On a pipe with no input coming, Ctrl-C ends it at once.
        piped = start("term", "--config", config, "COM7", stdin=subprocess.PIPE)
        self.assertIn("end of input or Ctrl-C quits", piped.stderr.readline())
        piped.send_signal(signal.SIGINT)
        out, err = piped.communicate(timeout=20)
        self.assertEqual(piped.returncode, 0, err)


if __name__ == "__main__":
    QUARVEX = sys.argv.pop(1)
    unittest.main(verbosity=2)
