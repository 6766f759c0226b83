#!/usr/bin/env python3
"""End-to-end tests of parcel-host: the built program packs real files through
the built module, and the archives are checked with unzip and Python's zipfile
down to the last byte. Failure cases check the exit code, the message and that
no output file is left behind.

usage: host_e2e.py --host PATH [--fake-module PATH] [--not-parcel PATH]
                   [--emulator WORD]... [unittest arguments...]
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HOST = None
EMULATOR = []
FAKE_MODULE = None
NOT_PARCEL = None
ON_WINDOWS = False  # the host is a Windows program (under an emulator)

EXIT_USAGE, EXIT_INPUT, EXIT_OUTPUT, EXIT_MODULE, EXIT_JOB, EXIT_RESPONSE = 2, 3, 4, 5, 6, 7


def sample_files():
    """Relative path -> bytes of the tree every packing test starts from."""
    rng = random.Random(7)
    text = "".join(f"line {i}: the quick brown fox jumps over the lazy dog\n" for i in range(400))
    files = {
        "in/text.txt": text.encode(),
        "in/binary.bin": bytes(rng.getrandbits(8) for _ in range(300_000)),
        "in/zeros.bin": bytes(1 << 20),
        "in/one.byte": b"\x00",
        "in/nested/deeper/deepest/leaf.dat": b"leaf\r\n\x00\xff",
        "in/with space/name with spaces.txt": b"spaces\n",
        "in/\u00fcn\u00efc\u00f6d\u00e9/\u65e5\u672c\u8a9e \u30d5\u30a1\u30a4\u30eb.txt": "non-ASCII\n".encode(),
        "in/specials/quote's & amp;.txt": b"specials\n",
    }
    if not ON_WINDOWS:
        files['in/specials/<angle> "double"  two\tspaces.txt'] = b"more specials\n"
    return files


def entry_name(relative):
    return relative.replace("/", "\\")


class HostTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="parcel-host-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, relative):
        return os.path.join(self.dir, relative)

    def write(self, relative, data):
        full = self.path(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

    def host(self, *args, stdin=b"", env=None):
        """Runs parcel-host in the test directory: (exit code, stdout, stderr)."""
        environment = dict(os.environ, WINEDEBUG="-all")
        environment.update(env or {})
        done = subprocess.run(EMULATOR + [HOST] + list(args), cwd=self.dir, input=stdin,
                              capture_output=True, env=environment, timeout=600)
        return (done.returncode, done.stdout.decode("utf-8", "replace"),
                done.stderr.decode("utf-8", "replace"))

    def assertNoOutput(self, relative="out.zip"):
        """Neither the output nor a temporary file beside it exists."""
        full = self.path(relative)
        self.assertFalse(os.path.exists(full), f"{relative} was left behind")
        folder, name = os.path.split(full)
        if os.path.isdir(folder):
            leftovers = [n for n in os.listdir(folder) if n.startswith("." + name + ".")]
            self.assertEqual(leftovers, [], "temporary files were left behind")

    def assertFails(self, result, code, text):
        rc, out, err = result
        self.assertEqual(rc, code, f"stdout: {out}\nstderr: {err}")
        self.assertIn(text, err)
        self.assertTrue(err.startswith("parcel-host: "), err)


def stored_name(info):
    """An entry's name as the bytes the module stored, read as UTF-8."""
    raw = info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")
    return raw.decode("utf-8")


class PackTest(HostTestCase):
    """Packing real files through the real module."""

    def setUp(self):
        super().setUp()
        self.files = sample_files()
        for relative, data in self.files.items():
            self.write(relative, data)
        self.write("in/empty.txt", b"")

    def assertArchive(self, archive, expected):
        """`archive` holds exactly `expected` (entry name -> bytes), verified
        by unzip -t and by zipfile, byte for byte."""
        tested = subprocess.run(["unzip", "-t", archive], capture_output=True)
        report = tested.stdout + tested.stderr
        if expected:
            self.assertEqual(tested.returncode, 0, report.decode("utf-8", "replace"))
            self.assertIn(b"No errors detected", tested.stdout)
        else:  # unzip warns about an archive without entries
            self.assertEqual(tested.returncode, 1, report.decode("utf-8", "replace"))
            self.assertIn(b"zipfile is empty", report)
        with zipfile.ZipFile(archive) as zf:
            self.assertIsNone(zf.testzip())
            got = {stored_name(info): zf.read(info) for info in zf.infolist()}
            self.assertEqual(len(got), len(zf.infolist()), "duplicate entry names")
        self.assertEqual(sorted(got), sorted(expected))
        for name, data in expected.items():
            self.assertEqual(got[name], data, name)

    def expected(self, prefix="in/"):
        return {entry_name(r): d for r, d in self.files.items() if r.startswith(prefix)}

    def test_directory_tree(self):
        rc, out, err = self.host("pack", "-o", "out.zip", "in")
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("out.zip"), self.expected())
        self.assertIn(f"out.zip: {len(self.files)} entries", out)
        sep = "\\" if ON_WINDOWS else "/"  # messages name files the system's way
        self.assertIn(f"in{sep}empty.txt' is empty and left out", err)
        self.assertNoOutput("never.zip")  # and no temporary beside out.zip
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".")], [])

    def test_files_named_one_by_one_keep_their_directories(self):
        unicode = next(r for r in self.files if "\u65e5" in r)
        rc, _, err = self.host("pack", "-o", "\u00e4rchiv.zip", "in/text.txt",
                               "./in/nested/../one.byte", unicode)
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("\u00e4rchiv.zip"), {
            "in\\text.txt": self.files["in/text.txt"], "in\\one.byte": b"\x00",
            entry_name(unicode): self.files[unicode]})

    def test_junk_paths(self):
        rc, _, err = self.host("pack", "-j", "-o", "out.zip", "in/nested", "in/text.txt")
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("out.zip"), {
            "leaf.dat": self.files["in/nested/deeper/deepest/leaf.dat"],
            "text.txt": self.files["in/text.txt"]})

    def test_names_from_standard_input(self):
        names = "in/text.txt\r\n\nin/with space\n".encode()
        rc, _, err = self.host("pack", "-@", "-o", "out.zip", "in/one.byte", stdin=names)
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("out.zip"), {
            "in\\one.byte": b"\x00", "in\\text.txt": self.files["in/text.txt"],
            "in\\with space\\name with spaces.txt": b"spaces\n"})

    def test_verbose_lists_entries_and_quiet_prints_nothing(self):
        rc, out, err = self.host("pack", "-v", "-o", "out.zip", "in")
        self.assertEqual(rc, 0, err)
        for name in self.expected():
            self.assertIn(name, out)
        os.remove(self.path("out.zip"))
        rc, out, err = self.host("pack", "-q", "-o", "out.zip", "in")
        self.assertEqual((rc, out, err), (0, "", ""))
        self.assertArchive(self.path("out.zip"), self.expected())

    def test_existing_output_is_replaced_and_never_packed_into_itself(self):
        self.write("in/out.zip", b"an old archive")
        rc, _, err = self.host("pack", "-o", "in/out.zip", "in")
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("in/out.zip"), self.expected())

    def test_saved_request_runs_again_with_the_same_result(self):
        rc, _, err = self.host("pack", "-o", "out.zip", "--request", "saved.req",
                               "--response", "response.xml", "in")
        self.assertEqual(rc, 0, err)
        with open(self.path("response.xml"), "rb") as f:
            response = f.read().decode()
        size = os.path.getsize(self.path("out.zip"))
        self.assertTrue(response.startswith('<?xml version="1.0"?><RESPONSE><COMPRESSED_FILE '
                                            'name="ZIPFILE" type="application/zip" '
                                            f'size="{size}" url="/output/zipfile_'), response)
        rc, out, err = self.host("run", "saved.req", "-o", "records")
        self.assertEqual(rc, 0, err)
        written = sorted(os.listdir(self.path("records")))
        self.assertEqual(len(written), 2, written)
        self.assertEqual(written[0], "META.xml")
        self.assertTrue(written[1].startswith("zipfile_") and written[1].endswith(".zip"))
        with open(self.path("records/META.xml"), "rb") as f:
            self.assertIn(f'url="/output/{written[1]}"'.encode(), f.read())
        self.assertArchive(self.path("records/" + written[1]), self.expected())

    def test_run_writes_and_reports_an_error_document(self):
        # A job description whose root element is lower case.
        rc, _, err = self.host("pack", "-o", "out.zip", "--request", "saved.req", "in/one.byte")
        self.assertEqual(rc, 0, err)
        with open(self.path("saved.req"), "rb") as f:
            request = f.read()
        with open(self.path("bad.req"), "wb") as f:
            f.write(request.replace(b"<REQUEST>", b"<request>", 1))
        result = self.host("run", "bad.req", "-o", "records")
        self.assertFails(result, EXIT_JOB, "error 2: invalid meta data")
        with open(self.path("records/META.xml"), "rb") as f:
            self.assertIn(b'<ERROR code="2">invalid meta data</ERROR>', f.read())
        self.assertEqual(os.listdir(self.path("records")), ["META.xml"])

    def test_names_at_the_limits_are_stored_whole(self):
        name = "n" * 251 + ".txt"  # 255 bytes
        deep = "p" * 100 + "/" + "q" * 100 + "/" + "r" * 53 + ".txt"  # 259 bytes
        self.write(name, b"255")
        self.write(deep, b"259")
        rc, _, err = self.host("pack", "-o", "out.zip", name, deep)
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("out.zip"), {name: b"255", entry_name(deep): b"259"})

    def test_only_empty_files_make_an_empty_archive(self):
        rc, out, err = self.host("pack", "-o", "out.zip", "in/empty.txt")
        self.assertEqual(rc, 0, err)
        self.assertArchive(self.path("out.zip"), {})
        self.assertIn("0 entries", out)


class VersionTest(HostTestCase):
    """The version command reads a module file's four version values."""

    def test_reads_the_built_module_and_refuses_plain_files(self):
        folder = os.path.dirname(os.path.abspath(HOST))
        module = next(os.path.join(folder, name) for name in ("parcel.dll", "parcel.so")
                      if os.path.exists(os.path.join(folder, name)))
        shutil.copy(module, self.path("module.bin"))
        rc, out, err = self.host("version", "module.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines(), [
            "file version:    7000, 113, 13, 59182",
            "product version: 700, patch 113, changelist 911150",
            "platform:        NTAMD64",
            "special build:   opt",
        ])
        self.write("plain.txt", b"#[%]QELFileVersion: 1\n" * 3)
        self.assertFails(self.host("version", "plain.txt"), EXIT_INPUT, "no version information")


class FailureTest(HostTestCase):
    """Bad input, bad output paths and bad modules: a clear message, the
    documented exit code, and no output file."""

    def setUp(self):
        super().setUp()
        self.write("in/a.txt", b"a")

    def test_usage_errors(self):
        cases = [(), ("pack",), ("pack", "in"), ("pack", "-o", "out.zip"),
                 ("pack", "-o", "out.zip", "--bogus", "in"), ("frobnicate",),
                 ("pack", "-q", "-v", "-o", "out.zip", "in")]
        for args in cases:
            rc, _, err = self.host(*args)
            self.assertEqual(rc, EXIT_USAGE, f"{args}: {err}")
            self.assertNotEqual(err, "", args)
            self.assertNoOutput()

    def test_help_documents_exit_codes(self):
        for args in (("--help",), ("pack", "--help")):
            rc, out, _ = self.host(*args)
            self.assertEqual(rc, 0)
            self.assertIn("Exit codes:", out)
            self.assertIn("6  the module answered with an error document", out)

    def test_bad_inputs(self):
        self.write("in/empty-dir/.keep", b"")
        os.remove(self.path("in/empty-dir/.keep"))
        cases = [
            (("in/missing.txt",), EXIT_INPUT, "'in/missing.txt': "),
            (("in/a.txt", "in/missing/"), EXIT_INPUT, "'in/missing/': "),
            (("in/empty-dir",), EXIT_USAGE, "nothing to pack"),
        ]
        for inputs, code, text in cases:
            self.assertFails(self.host("pack", "-o", "out.zip", *inputs), code, text)
            self.assertNoOutput()

    def test_directory_loop(self):
        try:
            os.symlink("..", self.path("in/loop"))
        except OSError:
            self.skipTest("no symbolic links")
        self.assertFails(self.host("pack", "-o", "out.zip", "in"), EXIT_INPUT, "directory loop")
        self.assertNoOutput()

    @unittest.skipIf(hasattr(os, "geteuid") and os.geteuid() == 0, "root reads every file")
    def test_unreadable_file(self):
        os.chmod(self.path("in/a.txt"), 0)
        self.assertFails(self.host("pack", "-o", "out.zip", "in"), EXIT_INPUT, "'in/a.txt'")
        self.assertNoOutput()

    def test_names_beyond_the_limits(self):
        long_dirs = "in/" + "p" * 100 + "/" + "q" * 100
        self.write(long_dirs + "/" + "r" * 58, b"x")
        self.assertFails(self.host("pack", "-o", "out.zip", "in"), EXIT_INPUT,
                         "is 263 bytes long; the limit is 259")
        self.assertNoOutput()

    def test_more_files_than_one_archive_holds(self):
        os.makedirs(self.path("many"))
        for i in range(65536):
            open(self.path(f"many/{i}"), "wb").close()
        self.assertFails(self.host("pack", "-o", "out.zip", "many"), EXIT_INPUT,
                         "more than 65535 files")
        self.assertNoOutput()

    def test_inputs_too_large_for_one_request(self):
        with open(self.path("in/huge.bin"), "wb") as f:
            f.truncate(1 << 31)  # sparse: no disk space is used
        self.assertFails(self.host("pack", "-o", "out.zip", "in"), EXIT_INPUT,
                         "too large for one request")
        self.assertNoOutput()

    def test_output_cannot_be_written(self):
        os.makedirs(self.path("a-directory"))
        for target in ("no/such/dir/out.zip", "a-directory"):
            self.assertFails(self.host("pack", "-o", target, "in"), EXIT_OUTPUT,
                             f"cannot write '{target}'")
            self.assertEqual(os.listdir(self.path("a-directory")), [])
        self.assertFails(self.host("pack", "-o", "out.zip", "--request", "no/dir/r", "in"),
                         EXIT_OUTPUT, "cannot write 'no/dir/r'")
        self.assertNoOutput()

    def test_modules_that_cannot_serve(self):
        self.write("not-a-library.so", b"just text")
        cases = [
            ("missing-module.so", {}, "cannot load module"),
            ("not-a-library.so", {}, "cannot load module"),
        ]
        if NOT_PARCEL:
            cases.append((NOT_PARCEL, {}, "not a parcel module (no Instantiate)"))
        if FAKE_MODULE:
            cases.append((FAKE_MODULE, {"PARCEL_FAKE_RESPONSE": "no-interpreter"},
                          "did not create an interpreter"))
        for module, env, text in cases:
            for command in (("pack", "-o", "out.zip", "in"), ("info",)):
                self.assertFails(self.host(*command, "--module", module, env=env),
                                 EXIT_MODULE, text)
                self.assertNoOutput()

    def test_module_answers_that_give_no_archive(self):
        if not FAKE_MODULE:
            self.skipTest("no fake module")
        cases = [
            ("error", EXIT_JOB, "the module answered with error 3: internal error while opening zip"),
            ("none", EXIT_RESPONSE, "the module gave no response"),
            ("garbage", EXIT_RESPONSE, "response is malformed"),
            ("no-zip", EXIT_RESPONSE, "has no ZIPFILE record"),
            ("damaged", EXIT_RESPONSE, "archive is damaged"),
            ("empty-zip", EXIT_RESPONSE, "holds 0 entries instead of 1"),
        ]
        for kind, code, text in cases:
            result = self.host("pack", "-o", "out.zip", "--response", "response.xml", "in",
                               "--module", FAKE_MODULE, env={"PARCEL_FAKE_RESPONSE": kind})
            self.assertFails(result, code, text)
            self.assertNoOutput()
        # The error document itself was saved as asked.
        self.assertEqual(self.host("pack", "-o", "out.zip", "--response", "response.xml", "in",
                                   "--module", FAKE_MODULE,
                                   env={"PARCEL_FAKE_RESPONSE": "error"})[0], EXIT_JOB)
        with open(self.path("response.xml"), "rb") as f:
            self.assertIn(b'<ERROR code="3">', f.read())

    def test_run_failures(self):
        self.write("garbage.req", b"TransMagic but nothing else")
        self.assertFails(self.host("run", "missing.req"), EXIT_INPUT, "'missing.req'")
        with open(self.path("huge.req"), "wb") as f:
            f.truncate(1 << 32)  # sparse, one byte beyond what the form can carry
        self.assertFails(self.host("run", "huge.req"), EXIT_INPUT, "larger than 4 GiB")
        if FAKE_MODULE:
            self.assertFails(self.host("run", "garbage.req", "-o", "records", "--module",
                                       FAKE_MODULE, env={"PARCEL_FAKE_RESPONSE": "error"}),
                             EXIT_JOB, "error 3: internal error while opening zip")
            self.assertEqual(os.listdir(self.path("records")), ["META.xml"])


def main():
    global HOST, EMULATOR, FAKE_MODULE, NOT_PARCEL, ON_WINDOWS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--host", required=True)
    parser.add_argument("--fake-module")
    parser.add_argument("--not-parcel")
    parser.add_argument("--emulator", action="append", default=[],
                        help="one word of the command that runs the host; repeatable")
    args, rest = parser.parse_known_args()
    HOST = os.path.abspath(args.host)
    EMULATOR = args.emulator
    FAKE_MODULE = os.path.abspath(args.fake_module) if args.fake_module else None
    NOT_PARCEL = os.path.abspath(args.not_parcel) if args.not_parcel else None
    ON_WINDOWS = HOST.lower().endswith(".exe")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
