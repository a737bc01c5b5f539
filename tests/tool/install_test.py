#!/usr/bin/env python3
"""Installation as a Linux user meets it: cmake --install into a temporary prefix, the
example program built outside the tree against the installed CMake package and against the
pkg-config file, and run; the Debian packages from cpack with the tool, its man page, bash
completion, systemd unit and configuration; and the man page and completion knowing every
command the tool has.

usage: install_test.py BUILD_DIR SOURCE_DIR CXX_COMPILER [CXX_FLAGS]"""

import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

BUILD = SOURCE = CXX = None
FLAGS = ""


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(args), result.returncode,
                                                        result.stdout, result.stderr))
    return result


def commands():
    """The commands the tool's help names."""
    help_text = run(os.path.join(BUILD, "quarvex"), "--help").stdout
    block = help_text.split("commands:\n")[1].split("\n\n")[0]
    return re.findall(r"^  ([a-z]+)", block, re.M)


def architecture(program):
    """Debian's name for the architecture an ELF program was built for."""
    with open(program, "rb") as f:
        machine = int.from_bytes(f.read(20)[18:20], "little")
    known = {3: "i386", 62: "amd64"}
    return known.get(machine) or run("dpkg", "--print-architecture").stdout.strip()


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="quarvex-install-")
        cls.prefix = os.path.join(cls.dir, "prefix")
        run("cmake", "--install", BUILD, "--prefix", cls.prefix)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def at(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_tool_and_its_files_are_installed_and_work(self):
        tool = self.at("bin", "quarvex")
        self.assertTrue(os.access(tool, os.X_OK))
        for path in [("share", "man", "man1", "quarvex.1"),
                     ("share", "bash-completion", "completions", "quarvex"),
                     ("share", "doc", "quarvex", "copyright")]:
            self.assertTrue(os.path.isfile(self.at(*path)), path)
        with open(self.at("lib", "systemd", "system", "quarvex.service")) as unit:
            self.assertIn("ExecStart=%s run %s" % (tool, self.at("etc", "quarvex", "quarvex.reg")),
                          unit.read())
        runtime = os.path.join(self.dir, "run")
        os.makedirs(runtime, 0o700, exist_ok=True)
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
        run(tool, "check", self.at("etc", "quarvex", "quarvex.reg"), env=env)

    def test_a_windows_program_builds_against_the_cmake_package(self):
        project = os.path.join(self.dir, "cmake-project")
        os.makedirs(project)
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write("cmake_minimum_required(VERSION 3.16)\n"
                    "project(hello CXX)\n"
                    "set(CMAKE_CXX_STANDARD 17)\n"
                    "find_package(Quarvex 0.1 REQUIRED)\n"
                    "add_executable(hello_pair %s)\n"
                    "target_link_libraries(hello_pair PRIVATE Quarvex::win32)\n"
                    % os.path.join(SOURCE, "examples", "hello_pair.cpp"))
        build = os.path.join(project, "build")
        run("cmake", "-S", project, "-B", build, "-DCMAKE_PREFIX_PATH=" + self.prefix,
            "-DCMAKE_CXX_COMPILER=" + CXX, "-DCMAKE_CXX_FLAGS=" + FLAGS,
            "-DCMAKE_EXE_LINKER_FLAGS=" + FLAGS)
        run("cmake", "--build", build)
        self.assertIn("COM6 read hello", run(os.path.join(build, "hello_pair")).stdout)

    def test_a_windows_program_builds_with_pkg_config(self):
        env = dict(os.environ, PKG_CONFIG_PATH=self.at("lib", "pkgconfig"))
        flags = run("pkg-config", "--cflags", "--libs", "quarvex", env=env).stdout.split()
        program = os.path.join(self.dir, "hello_pkg")
        run(CXX, "-std=c++17", *FLAGS.split(), os.path.join(SOURCE, "examples", "hello_pair.cpp"),
            "-o", program, *flags)
        self.assertIn("COM6 read hello", run(program).stdout)

    def test_debian_packages_hold_the_tool_and_the_libraries(self):
        out = os.path.join(self.dir, "packages")
        run("cpack", "-G", "DEB", "-B", out, "--config", os.path.join(BUILD, "CPackConfig.cmake"))
        # Named and marked for the architecture the tool was built for (i386 at -m32).
        arch = architecture(os.path.join(BUILD, "quarvex"))
        tool = self.contents(os.path.join(out, "quarvex_0.1.0_%s.deb" % arch))
        self.assertIn("Architecture: %s\n" % arch, tool["control"])
        for path in ["usr/bin/quarvex", "usr/share/man/man1/quarvex.1",
                     "usr/share/bash-completion/completions/quarvex",
                     "usr/lib/systemd/system/quarvex.service", "etc/quarvex/quarvex.reg",
                     "usr/share/doc/quarvex/copyright", "usr/share/doc/quarvex/examples/pty.reg"]:
            self.assertIn(path, tool)
        self.assertIn("ExecStart=/usr/bin/quarvex run /etc/quarvex/quarvex.reg",
                      tool["usr/lib/systemd/system/quarvex.service"])
        self.assertEqual(tool["conffiles"].split(), ["/etc/quarvex/quarvex.reg"])
        dev = self.contents(os.path.join(out, "quarvex-dev_0.1.0_%s.deb" % arch))
        for path in ["usr/include/quarvex/win32/windows.h", "usr/include/quarvex/host/system.h",
                     "usr/lib/cmake/Quarvex/QuarvexConfig.cmake", "usr/lib/pkgconfig/quarvex.pc",
                     "usr/lib/libqvx_win32.a"]:
            self.assertIn(path, dev)

    def contents(self, deb):
        """A .deb's files (path: text for small text files, else None) and its conffiles."""
        with open(deb, "rb") as f:
            data = f.read()
        self.assertEqual(data[:8], b"!<arch>\n")
        found = {}
        offset = 8
        while offset < len(data):
            name = data[offset:offset + 16].decode().strip().rstrip("/")
            size = int(data[offset + 48:offset + 58].decode().strip())
            member = data[offset + 60:offset + 60 + size]
            offset += 60 + size + (size % 2)
            if name.startswith(("data.tar", "control.tar")):
                path = os.path.join(self.dir, name)
                with open(path, "wb") as f:
                    f.write(member)
                with tarfile.open(path) as archive:
                    for entry in archive.getmembers():
                        key = entry.name.lstrip("./")
                        small = entry.isfile() and entry.size < 65536
                        found[key] = (archive.extractfile(entry).read().decode("latin-1")
                                      if small else None)
        return found

    def test_man_page_and_completion_know_every_command(self):
        names = commands()
        self.assertIn("check", names)
        with open(os.path.join(SOURCE, "packaging", "quarvex.1")) as f:
            page = f.read()
        for name in names:
            self.assertRegex(page, r"\.B[RI]? %s\b" % name, name)
        # The completion, with bash-completion's helpers stubbed, offers every command.
        script = ("_init_completion() { cur=${COMP_WORDS[COMP_CWORD]}; prev=; "
                  "words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; }\n"
                  "_filedir() { :; }\n"
                  "source %s\n"
                  "COMP_WORDS=(quarvex ''); COMP_CWORD=1; _quarvex; echo \"${COMPREPLY[*]}\"\n"
                  "COMP_WORDS=(quarvex send --); COMP_CWORD=2; _quarvex; echo \"${COMPREPLY[*]}\"\n"
                  % os.path.join(SOURCE, "packaging", "quarvex.bash"))
        offered = run("bash", "-c", script).stdout.splitlines()
        self.assertEqual(sorted(offered[0].split()), sorted(names))
        self.assertIn("--timeout", offered[1].split())


if __name__ == "__main__":
    BUILD, SOURCE, CXX = sys.argv[1:4]
    FLAGS = sys.argv[4] if len(sys.argv) > 4 else ""
    del sys.argv[1:5]
    unittest.main(verbosity=2)
