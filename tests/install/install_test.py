#!/usr/bin/env python3
"""Tests of what parcel installs and ships, run from a build tree.

  InstallTest   `cmake --install` into a temporary folder: the layout, the
                public headers each compiling alone, the shared libraries'
                exports, the installed parcel-host finding its module;
  ExamplesTest  examples/ configured against that install only, with
                find_package (shared and static libraries) and with
                pkg-config, built and run;
  DebianTest    the Debian packages: their contents, lintian, and (as root)
                dpkg -i, parcel-host from the PATH, the service unit, dpkg -r;
  BundleTest    the Windows zip bundle: its listing, the libraries' exports,
                and parcel-host.exe packing the samples from the unpacked
                bundle under the emulator.

usage: install_test.py --build DIR --source DIR [--emulator WORD]... [--objdump PATH]
                       [unittest arguments...]
"""
import argparse
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zipfile

BUILD = None
SOURCE = None
EMULATOR = []
OBJDUMP = "objdump"
LIBS = ["runtime", "errinfo", "version", "ni"]
SKIP = 77  # the driver's exit code for a skipped suite (CTest's SKIP_RETURN_CODE)

# Headers a user includes, under include/parcel/; nothing else is installed there.
PUBLIC_HEADERS = sorted([
    "interpreter/host_abi.h",
    "runtime/trace.h", "runtime/thr.h", "runtime/mem.h",
    "errinfo/errinfo.h", "version/version.h",
    "ni/ni.h", "ni/ni_cxx.h", "ni/ni_codes.h",
    "platform/export.h", "platform/wall_clock.h", "platform/critical_section.h",
])
C_HEADERS = ["interpreter/host_abi.h", "ni/ni.h"]


def run(command, **kwargs):
    """Runs a command; fails the test with its output when it fails."""
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, command))} exited {result.returncode}:\n"
                             f"{result.stdout}\n{result.stderr}")
    return result.stdout


def expected_exports(lib):
    with open(os.path.join(SOURCE, "tests", "install", "exports", f"{lib}.txt")) as listing:
        return {line.strip() for line in listing if line.strip() and not line.startswith("#")}


def demangled_names(mangled):
    """Symbol names demangled, without parameter lists."""
    if not mangled:
        return set()
    text = run(["c++filt"], input="\n".join(mangled))
    return {re.sub(r"\(.*$", "", name) for name in text.splitlines()}


def entry_name(info):
    """The entry's name as written: UTF-8 bytes, whether or not the archive
    flags them as UTF-8 (Python reads unflagged names as code page 437)."""
    if info.flag_bits & 0x800:
        return info.filename
    return info.filename.encode("cp437").decode("utf-8")


def check_archive(test, archive, expected):
    """The zip holds exactly `expected` (entry name -> bytes), with good CRCs."""
    with zipfile.ZipFile(archive) as z:
        test.assertIsNone(z.testzip())
        test.assertEqual({entry_name(info): z.read(info) for info in z.infolist()}, expected)


def sample_entries():
    """The samples folder as parcel-host packs it: backslash-separated entries."""
    root = os.path.join(SOURCE, "samples")
    entries = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.getsize(path) > 0:
                relative = os.path.relpath(path, os.path.dirname(root))
                with open(path, "rb") as f:
                    entries[relative.replace(os.sep, "\\")] = f.read()
    return entries


def installed_prefix():
    """Installs the build below a temporary folder once per process (DESTDIR,
    so that files with absolute destinations stay inside); returns the prefix."""
    global _ROOT
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache_file:
        cache = cache_file.read()
    prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache, re.M).group(1)
    if _ROOT is None:
        _ROOT = tempfile.mkdtemp(prefix="parcel-install-")
        run(["cmake", "--install", BUILD], env={**os.environ, "DESTDIR": _ROOT})
    return _ROOT + prefix


_ROOT = None


def serve_health(test, host, work):
    """parcel-host serve, started as the service unit starts it, answers its
    health check; the plug-in is found wherever the install put it."""
    port_file = os.path.join(work, "port")
    server = subprocess.Popen([host, "serve", "--port", "0", "--port-file", port_file,
                               "--store", os.path.join(work, "store"), "-q"],
                              stdout=subprocess.DEVNULL)
    test.addCleanup(server.wait)
    test.addCleanup(server.terminate)
    deadline = time.monotonic() + 30
    port = ""
    while not port:
        test.assertIsNone(server.poll(), "the server ended")
        test.assertLess(time.monotonic(), deadline)
        time.sleep(0.05)
        if os.path.exists(port_file):
            with open(port_file) as f:
                port = f.read().strip()
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/healthz", timeout=30) as answer:
        test.assertEqual(answer.status, 200)
        test.assertIn(b"workers", answer.read())


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class InstallTest(unittest.TestCase):
    def setUp(self):
        self.prefix = installed_prefix()
        self.libdir = os.path.dirname(glob.glob(f"{self.prefix}/lib/**/libparcel-runtime.a",
                                                recursive=True)[0])

    def test_layout(self):
        paths = [
            "bin/parcel-host", "share/man/man1/parcel-host.1.gz",
            "share/doc/parcel-host/README.md", "share/doc/parcel-host/copyright",
            "lib/systemd/system/parcel-host.service",
        ]
        for path in paths:
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, path)), path)
        lib = os.path.relpath(self.libdir, self.prefix)
        for path in ["parcel/parcel.so", "parcel/parcel-host-serve.so", "cmake/parcel/parcelConfig.cmake",
                     "pkgconfig/parcel-host-abi.pc", "libparcel-platform.a"]:
            self.assertTrue(os.path.isfile(os.path.join(self.libdir, path)), f"{lib}/{path}")
        for name in LIBS:
            self.assertTrue(os.path.isfile(f"{self.libdir}/libparcel-{name}.a"), name)
            self.assertTrue(os.path.isfile(f"{self.libdir}/pkgconfig/parcel-{name}.pc"), name)
            # The link name and the SONAME link point at the versioned file.
            real = os.path.realpath(f"{self.libdir}/libparcel-{name}.so")
            self.assertEqual(os.path.basename(real), f"libparcel-{name}.so.1.0.0")
            soname = run(["objdump", "-p", real])
            self.assertIn(f"SONAME               libparcel-{name}.so.1", soname)
        # The module is loaded, never linked: it is not in the library folder itself.
        self.assertFalse(os.path.exists(f"{self.libdir}/parcel.so"))

    def test_public_headers_alone_and_no_others(self):
        include = os.path.join(self.prefix, "include", "parcel")
        installed = sorted(os.path.relpath(os.path.join(folder, name), include)
                           for folder, _, names in os.walk(include) for name in names)
        self.assertEqual(installed, PUBLIC_HEADERS)
        for header in PUBLIC_HEADERS:
            with self.subTest(header=header):
                run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-I",
                     include, "-x", "c++", os.path.join(include, header)])
        for header in C_HEADERS:
            with self.subTest(header=header, language="C"):
                run(["gcc", "-std=c11", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-I",
                     include, "-x", "c", os.path.join(include, header)])

    def test_shared_libraries_export_their_public_interface_only(self):
        for name in LIBS:
            with self.subTest(lib=name):
                symbols = run(["nm", "-D", "--defined-only", f"{self.libdir}/libparcel-{name}.so"])
                self.assertEqual(demangled_names(line.split()[-1] for line in symbols.splitlines()),
                                 expected_exports(name))
        module = run(["nm", "-D", "--defined-only", f"{self.libdir}/parcel/parcel.so"])
        self.assertEqual([line.split()[-1] for line in module.splitlines()], ["Instantiate"])

    def test_installed_host_finds_its_module_and_plugin(self):
        work = tempfile.mkdtemp(prefix="parcel-installed-host-")
        self.addCleanup(shutil.rmtree, work, True)
        host = os.path.join(self.prefix, "bin", "parcel-host")
        run([host, "pack", "-q", "-o", os.path.join(work, "samples.zip"), "samples"], cwd=SOURCE)
        check_archive(self, os.path.join(work, "samples.zip"), sample_entries())
        serve_health(self, host, work)


class ExamplesTest(unittest.TestCase):
    """examples/ against the install and nothing else: the source tree's headers
    are not on its include path, the build tree is not searched."""

    def setUp(self):
        self.prefix = installed_prefix()
        self.work = tempfile.mkdtemp(prefix="parcel-examples-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def build(self, *options, env=None):
        build = os.path.join(self.work, "build")
        run(["cmake", "-S", os.path.join(SOURCE, "examples"), "-B", build, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF", *options],
            env=env)
        run(["cmake", "--build", build], env=env)
        return build

    def run_examples(self, build, env=None):
        note = os.path.join(self.work, "note.txt")
        text = b"packed by a host built against the install\n" * 50
        with open(note, "wb") as f:
            f.write(text)
        archive = os.path.join(self.work, "note.zip")
        out = run([os.path.join(build, "pack_one"), note, archive], env=env)
        self.assertIn("PARCEL QELPH10", out)
        self.assertIn("<COMPRESSED_FILE", out)
        check_archive(self, archive, {"note.txt": text})

        trace = os.path.join(self.work, "trace.txt")
        out = run([os.path.join(build, "platform_layers"), trace], env=env)
        self.assertIn("connect: NIECONN_REFUSED", out)
        # The network library records its failure in the one record the
        # error-information library holds, and traces through the runtime
        # library's settings the program made.
        self.assertRegex(out, r"error information: component NI .*, rc -10, error partner")
        self.assertIn("own record: error step failed, rc 42, detail detail 7", out)
        self.assertIn("module version: 7000,", out)
        with open(trace) as f:
            lines = f.read()
        self.assertIn("platform_layers: trace through the runtime library", lines)
        self.assertIn("*** ERROR => NiPConnect", lines)

        port = str(free_port())
        server = subprocess.Popen([os.path.join(build, "echo_server"), port], env=env)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        deadline = time.monotonic() + 30
        while True:  # until the server listens
            client = subprocess.run([os.path.join(build, "echo_client"), "127.0.0.1", port,
                                     "hello", "world"], capture_output=True, text=True, env=env)
            if client.returncode == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(client.returncode, 0, client.stderr)
        self.assertEqual(client.stdout, "hello\nworld\n")

    def test_find_package_shared(self):
        build = self.build(f"-DCMAKE_PREFIX_PATH={self.prefix}")
        self.run_examples(build)
        needed = run(["objdump", "-p", os.path.join(build, "platform_layers")])
        for name in LIBS:
            self.assertIn(f"NEEDED               libparcel-{name}.so.1", needed)

    def test_find_package_static(self):
        build = self.build(f"-DCMAKE_PREFIX_PATH={self.prefix}", "-DPARCEL_USE_STATIC_LIBS=ON")
        self.run_examples(build)
        self.assertNotIn("libparcel", run(["objdump", "-p", os.path.join(build, "platform_layers")]))

    def test_pkg_config(self):
        libdir = os.path.dirname(glob.glob(f"{self.prefix}/lib/**/pkgconfig", recursive=True)[0])
        env = {**os.environ, "PKG_CONFIG_PATH": os.path.join(libdir, "pkgconfig"),
               "LD_LIBRARY_PATH": libdir}
        build = self.build("-DPARCEL_EXAMPLES_PKGCONFIG=ON", env=env)
        self.run_examples(build, env=env)


class DebianPackages(unittest.TestCase):
    """The packages `cpack -G DEB` made in the build tree."""

    def setUp(self):
        self.debs = {re.match(r"(.+?)_", os.path.basename(path)).group(1): path
                     for path in glob.glob(os.path.join(BUILD, "packages", "*.deb"))}
        self.assertEqual(sorted(self.debs), ["libparcel-dev", "parcel-host"])



class DebianTest(DebianPackages):
    def contents(self, package):
        listing = run(["dpkg-deb", "--contents", self.debs[package]])
        return {line.split()[5].lstrip(".") for line in listing.splitlines()}

    def test_contents(self):
        host = self.contents("parcel-host")
        for path in ["/usr/bin/parcel-host", "/usr/lib/x86_64-linux-gnu/parcel/parcel.so",
                     "/usr/lib/x86_64-linux-gnu/parcel/parcel-host-serve.so",
                     "/usr/lib/systemd/system/parcel-host.service", "/etc/default/parcel-host",
                     "/usr/share/man/man1/parcel-host.1.gz", "/usr/share/doc/parcel-host/copyright",
                     "/usr/share/doc/parcel-host/changelog.gz"]:
            self.assertIn(path, host)
        dev = self.contents("libparcel-dev")
        for header in PUBLIC_HEADERS:
            self.assertIn(f"/usr/include/parcel/{header}", dev)
        for name in LIBS:
            self.assertIn(f"/usr/lib/x86_64-linux-gnu/libparcel-{name}.so.1.0.0", host)
            self.assertIn(f"/usr/lib/x86_64-linux-gnu/libparcel-{name}.so", dev)
            self.assertIn(f"/usr/lib/x86_64-linux-gnu/libparcel-{name}.a", dev)
        self.assertIn("/usr/lib/x86_64-linux-gnu/cmake/parcel/parcelConfig.cmake", dev)
        self.assertFalse(host & dev - {p for p in host if p.endswith("/")}, "a file in both")
        self.assertFalse([p for p in host | dev if re.search(r"/(nii|si|ni_buf)\.h$", p)])
        conffiles = run(["dpkg-deb", "--info", self.debs["parcel-host"], "conffiles"])
        self.assertEqual(conffiles.split(), ["/etc/default/parcel-host"])

    def test_lintian_reports_no_errors(self):
        result = subprocess.run(["lintian", "--fail-on", "error", *self.debs.values()],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertNotRegex(result.stdout, r"(?m)^E: ")



class DebianInstallTest(DebianPackages):
    """Installs the packages on this machine and removes them again (root only)."""

    def test_install_run_and_remove(self):
        # Removing keeps the options file (a conffile); purging at the end
        # leaves the machine as it was.
        self.addCleanup(dpkg, "--purge", "libparcel-dev", "parcel-host")
        dpkg("-i", self.debs["parcel-host"], self.debs["libparcel-dev"])
        self.assertEqual(shutil.which("parcel-host"), "/usr/bin/parcel-host")
        work = tempfile.mkdtemp(prefix="parcel-deb-")
        self.addCleanup(shutil.rmtree, work, True)
        run(["parcel-host", "pack", "-q", "-o", os.path.join(work, "samples.zip"), "samples"],
            cwd=SOURCE)
        check_archive(self, os.path.join(work, "samples.zip"), sample_entries())
        serve_health(self, "parcel-host", work)
        if shutil.which("systemd-analyze"):
            run(["systemd-analyze", "verify", "/usr/lib/systemd/system/parcel-host.service"])
        else:
            print("systemd-analyze is missing: the unit is not verified")
        dpkg("-r", "libparcel-dev", "parcel-host")
        self.assertIsNone(shutil.which("parcel-host"))
        self.assertFalse(os.path.exists("/usr/lib/x86_64-linux-gnu/parcel/parcel.so"))


def dpkg(*arguments):
    """dpkg, waiting for the lock when another package tool holds it."""
    deadline = time.monotonic() + 300
    while True:
        result = subprocess.run(["dpkg", *arguments], capture_output=True, text=True)
        if result.returncode == 0 or time.monotonic() > deadline or "lock" not in result.stderr:
            break
        time.sleep(2)
    if result.returncode != 0:
        raise AssertionError(f"dpkg {' '.join(arguments)}: {result.stdout}{result.stderr}")


class BundleTest(unittest.TestCase):
    """The zip bundle `cpack -G ZIP` made in the Windows build tree."""

    @classmethod
    def setUpClass(cls):
        bundles = glob.glob(os.path.join(BUILD, "packages", "parcel-*-win64.zip"))
        assert len(bundles) == 1, bundles
        cls.bundle = bundles[0]
        cls.work = tempfile.mkdtemp(prefix="parcel-bundle-")
        with zipfile.ZipFile(cls.bundle) as z:
            z.extractall(cls.work)
        cls.root = os.path.join(cls.work, os.path.splitext(os.path.basename(cls.bundle))[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def test_listing(self):
        with zipfile.ZipFile(self.bundle) as z:
            names = {name.split("/", 1)[1] for name in z.namelist()}
        for path in ["README.md", "bin/parcel-host.exe", "bin/parcel.dll",
                     "lib/cmake/parcel/parcelConfig.cmake", "lib/pkgconfig/parcel-host-abi.pc",
                     "lib/libparcel-platform.a"]:
            self.assertIn(path, names)
        for header in PUBLIC_HEADERS:
            self.assertIn(f"include/parcel/{header}", names)
        for name in LIBS:
            for path in [f"bin/libparcel-{name}.dll", f"lib/libparcel-{name}.dll.a",
                         f"lib/libparcel-{name}.a", f"lib/pkgconfig/parcel-{name}.pc"]:
                self.assertIn(path, names)
        self.assertFalse([n for n in names if n.endswith(".h") and n[len("include/parcel/"):]
                          not in PUBLIC_HEADERS])

    def exports(self, dll):
        """Names of the DLL's export table, which follow the heading
        "[Ordinal/Name Pointer] Table" as lines "\t[   0] Name"."""
        dump = run([OBJDUMP, "-p", dll])
        table = dump.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
        return re.findall(r"^\t\[ *\d+\] (\S+)$", table, re.M)

    def test_libraries_export_their_public_interface_only(self):
        for name in LIBS:
            with self.subTest(lib=name):
                dll = os.path.join(self.root, "bin", f"libparcel-{name}.dll")
                self.assertEqual(demangled_names(self.exports(dll)), expected_exports(name))
        self.assertEqual(self.exports(os.path.join(self.root, "bin", "parcel.dll")), ["Instantiate"])

    def test_host_packs_the_samples_from_the_unpacked_bundle(self):
        host = os.path.join(self.root, "bin", "parcel-host.exe")
        archive = os.path.join(self.work, "samples.zip")
        run([*EMULATOR, host, "pack", "-q", "-o", archive, "samples"], cwd=SOURCE)
        check_archive(self, archive, sample_entries())


def main():
    global BUILD, SOURCE, EMULATOR, OBJDUMP
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--emulator", action="append", default=[])
    parser.add_argument("--objdump", default="objdump")
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    SOURCE = os.path.abspath(args.source)
    EMULATOR = args.emulator
    OBJDUMP = args.objdump
    if "DebianInstallTest" in rest and os.geteuid() != 0:
        print("dpkg -i / dpkg -r round trip skipped: it needs root")
        sys.exit(SKIP)
    try:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
    finally:
        if _ROOT is not None:
            shutil.rmtree(_ROOT, True)


if __name__ == "__main__":
    main()
