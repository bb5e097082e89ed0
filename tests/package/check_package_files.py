#!/usr/bin/python3
"""Reads report archives and window bitmaps back with readers that share no code with the
writers: python's zipfile and zlib, unzip, and PIL.

    check_package_files.py <runner> <WritePackageSamples.exe>

Each case lays out its input files in a fresh folder, lets WritePackageSamples build the
archive or capture the bitmap under Wine, and checks the file it wrote.
"""
import calendar
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib

from PIL import Image

RUNNER = [os.path.abspath(a) for a in sys.argv[1:3]]
COMMENT = b"Created by RIZurarUzedudor (crash-reports@example.invalid)"
SAMPLE_DOS_TIME, SAMPLE_DOS_DATE = 0x73C5, 0x4662  # 14:30:10 on 2 March 2015
TOP_COLOUR, BOTTOM_COLOUR = (0xF0, 0x80, 0x10), (0x18, 0xA8, 0xE0)
BLOCK, DICTIONARY = 256 * 1024, 32 * 1024  # the archive's deflate blocks and their priming


def windows_path(path):
    """The Wine drive Z: is the Linux root."""
    return "Z:" + path.replace("/", "\\")


def run(arguments, cwd, env=None, file_size_limit=None):
    """Runs the sample writer; returns its "key value" lines as a dict."""
    def limit():
        # Writes past the limit fail (EFBIG) instead of killing the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))
    done = subprocess.run(RUNNER + arguments, cwd=cwd, env=env, capture_output=True,
                          timeout=120, preexec_fn=limit if file_size_limit else None)
    if done.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (arguments, done.returncode,
                                                    done.stderr.decode(errors="replace")))
    lines = {}
    for line in done.stdout.decode("utf-8").splitlines():
        key, _, value = line.strip().partition(" ")
        lines[key] = value
    return lines


def dump_like_bytes(size, seed):
    """Mixed content as in a dump: zero runs, repeated records and incompressible data."""
    rng = __import__("random").Random(seed)
    out = bytearray(b"MDMP\x93\xa7\x00\x00")
    while len(out) < size:
        kind = rng.randrange(3)
        if kind == 0:
            out += bytes(rng.randrange(100, 6000))
        elif kind == 1:
            out += struct.pack("<IIQ", rng.randrange(1 << 32), 0x1000, 0x7FFE0000) * 200
        else:
            out += rng.randbytes(rng.randrange(100, 4000))
    return bytes(out[:size])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def block_deflate(data):
    """The archive's deflate stream made here with python's zlib: 256 KiB blocks, each
    compressed at level 5 with the 32 KiB before it as dictionary, every block but the last
    ended with a sync flush. One block is exactly a plain deflate of the data."""
    out = []
    starts = range(0, max(len(data), 1), BLOCK)
    for start in starts:
        dictionary = data[max(0, start - DICTIONARY):start]
        options = {"zdict": dictionary} if dictionary else {}
        deflater = zlib.compressobj(5, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY, **options)
        last = start == starts[-1]
        out.append(deflater.compress(data[start:start + BLOCK]) +
                   deflater.flush(zlib.Z_FINISH if last else zlib.Z_SYNC_FLUSH))
    return b"".join(out)


def stored_stream(path, info):
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_length, extra_length = struct.unpack_from("<HH", header, 26)
        f.seek(info.header_offset + 30 + name_length + extra_length)
        return f.read(info.compress_size)


def local_headers(path, infos):
    """(version needed, flags, method, time, date, extra field) of each entry's local header."""
    with open(path, "rb") as f:
        data = f.read()
    headers = []
    for info in infos:
        at = info.header_offset
        (signature, version, flags, method, time, date, _, _, _, name_length,
         extra_length) = struct.unpack_from("<IHHHHHIIIHH", data, at)
        assert signature == 0x04034B50, hex(signature)
        extra_at = at + 30 + name_length
        headers.append((version, flags, method, time, date, data[extra_at:extra_at + extra_length]))
    return headers


class Scratch(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="crpackage-")
        self.addCleanup(shutil.rmtree, self.root, True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)


class ArchiveContents(Scratch):
    """One full report: every kind of entry, read back with zipfile, zlib and unzip."""

    def setUp(self):
        super().setUp()
        self.files = {
            "dumps/abc.dmp": dump_like_bytes(300 * 1024, 1),  # many 16 KiB chunks
            "dumps/abc.bmp": b"BM" + bytes(range(256)) * 40,
            "logs/a.log": b"first log\r\n" * 500,
            "logs/b.log": b"second log\r\n",
            "empty.txt": b"",
            "\u0436\u0443\u0440\u043d\u0430\u043b.txt": b"not in the ANSI code page\r\n",
            "caf\u00e9.txt": b"in the ANSI code page\r\n",
        }
        for name, data in self.files.items():
            write(self.path(name), data)
        os.makedirs(self.path("logs", "folder.log"))
        # A stale archive of the same name must be replaced, not appended to.
        with zipfile.ZipFile(self.path("dumps", "abc.zip"), "w") as stale:
            stale.writestr("stale.txt", "old")
        # The time zone of India has no daylight saving time and a half-hour offset, so a
        # missing local-time conversion cannot go unnoticed.
        self.env = dict(os.environ, TZ="Asia/Kolkata")
        run(["settime", "dumps\\abc.dmp"], self.root, self.env)
        self.result = run(["archive", "dumps", "1", "dumps\\abc.dmp", "dumps\\abc.bmp",
                           "logs\\*.log", "nothing\\*.txt", "logs", "dumps\\abc.dmp", "empty.txt",
                           "\u0436\u0443\u0440\u043d\u0430\u043b.txt", "caf\u00e9.txt"],
                          self.root, self.env)
        self.archive = self.path("dumps", "abc.zip")

    def test_archive_path_result_and_integrity(self):
        self.assertEqual(self.result["result"], "1")
        self.assertEqual(self.result["archive"], windows_path(self.archive))
        with zipfile.ZipFile(self.archive) as z:
            self.assertIsNone(z.testzip())
            self.assertEqual(z.comment, COMMENT)
        tested = subprocess.run(["unzip", "-t", self.archive], capture_output=True)
        self.assertEqual(tested.stdout.count(b" OK\n"), 8, tested.stdout)
        # unzip converts the central name of an archive made on MS-DOS from the OEM code
        # page even when the UTF-8 flag is set, and then warns that the local name differs.
        # That warning, for the one UTF-8 name, is all it may report.
        if tested.returncode != 0:
            self.assertEqual(tested.returncode, 1, tested.stdout)
            self.assertEqual(tested.stdout.count(b"mismatching"), 1, tested.stdout)
            self.assertIn("\u0436\u0443\u0440\u043d\u0430\u043b.txt".encode(), tested.stdout)

    def test_entries_in_order_with_their_contents(self):
        with zipfile.ZipFile(self.archive) as z:
            infos = z.infolist()
            names = [i.filename for i in infos]
            self.assertEqual(names[:2], ["abc.dmp", "abc.bmp"])
            # The directory search's order is the file system's; here only the set is fixed.
            self.assertEqual(sorted(names[2:4]), ["a.log", "b.log"])
            self.assertEqual(names[4:7], ["abc.dmp",
                                          "empty.txt",
                                          "\u0436\u0443\u0440\u043d\u0430\u043b.txt"])
            self.assertEqual(len(names), 8)
            sources = ["dumps/abc.dmp", "dumps/abc.bmp", "logs/" + names[2], "logs/" + names[3],
                       "dumps/abc.dmp", "empty.txt", "\u0436\u0443\u0440\u043d\u0430\u043b.txt",
                       "caf\u00e9.txt"]
            for info, source in zip(infos, sources):
                self.assertEqual(z.read(info), self.files[source], info.filename)
            self.assertEqual(infos[5].file_size, 0)

    def test_names_ascii_and_ansi_plain_others_utf8_flagged(self):
        with zipfile.ZipFile(self.archive) as z:
            infos = z.infolist()
        for info in infos[:6]:
            self.assertEqual(info.flag_bits & 0x800, 0, info.filename)
        self.assertEqual(infos[6].flag_bits & 0x800, 0x800)
        # Without the flag the name is the ANSI code page's bytes (1252 here).
        self.assertEqual(infos[7].flag_bits & 0x800, 0)
        self.assertEqual(infos[7].filename.encode("cp437"), "caf\u00e9.txt".encode("cp1252"))

    def test_deflate_level_5_zip64_local_headers_and_dos_time(self):
        with zipfile.ZipFile(self.archive) as z:
            infos = z.infolist()
            for version, flags, method, time, date, extra in local_headers(self.archive, infos):
                self.assertEqual(version, 45)
                self.assertEqual(method, 8)
                self.assertEqual(flags & ~0x800, 0)  # level 5 sets no level bits
                header_id, size = struct.unpack_from("<HH", extra)
                self.assertEqual((header_id, size, len(extra)), (1, 16, 20))
            for info in infos:
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)
                # Attributes are passed as 0; minizip itself marks what zlib found to be text.
                self.assertEqual(info.external_attr, 0)
                self.assertIn(info.internal_attr, (0, 1))
            # The dump's stored stream is what zlib makes at level 5 with a raw window, block
            # by block.
            with open(self.archive, "rb") as f:
                f.seek(infos[0].header_offset)
                header = f.read(30)
                name_length, extra_length = struct.unpack_from("<HH", header, 26)
                f.seek(infos[0].header_offset + 30 + name_length + extra_length)
                stored = f.read(infos[0].compress_size)
        self.assertEqual(stored, block_deflate(self.files["dumps/abc.dmp"]))

        version, flags, method, time, date, extra = local_headers(self.archive, infos[:1])[0]
        self.assertEqual((hex(time), hex(date)), (hex(SAMPLE_DOS_TIME), hex(SAMPLE_DOS_DATE)))
        self.assertEqual(infos[0].date_time, (2015, 3, 2, 14, 30, 10))
        # The file itself holds 09:00:10 UTC, which is 14:30:10 in India.
        self.assertEqual(os.stat(self.path("dumps", "abc.dmp")).st_mtime,
                         calendar.timegm((2015, 3, 2, 9, 0, 10)))

    def test_unzip_lists_the_same(self):
        listed = subprocess.run(["unzip", "-v", self.archive], capture_output=True)
        self.assertEqual(listed.returncode, 0)
        text = listed.stdout.decode("latin-1")
        self.assertIn(COMMENT.decode(), text)
        rows = [line.split() for line in text.splitlines() if "Defl:" in line]
        self.assertEqual(len(rows), 8)
        self.assertTrue(all(row[1] == "Defl:N" for row in rows), rows)
        self.assertEqual([row[-1] for row in rows[:2]], ["abc.dmp", "abc.bmp"])
        self.assertEqual(rows[0][0], str(len(self.files["dumps/abc.dmp"])))
        self.assertEqual(rows[0][4:6], ["2015-03-02", "14:30"])


class ArchiveBlockSizes(Scratch):
    """Dumps around the size of one compression block, and a large incompressible one, each
    the first entry of an archive with a small extra file after it."""

    def check(self, data):
        write(self.path("dumps", "abc.dmp"), data)
        write(self.path("note.txt"), b"after the dump\r\n")
        result = run(["archive", "dumps", "0", "dumps\\abc.dmp", "", "note.txt"], self.root)
        self.assertEqual(result["result"], "1")
        archive = self.path("dumps", "abc.zip")
        with zipfile.ZipFile(archive) as z:
            self.assertIsNone(z.testzip())
            infos = z.infolist()
            self.assertEqual([i.filename for i in infos], ["abc.dmp", "note.txt"])
            self.assertEqual(infos[0].file_size, len(data))
            self.assertEqual(infos[0].CRC, zlib.crc32(data))
            self.assertEqual(z.read(infos[0]), data)
            self.assertEqual(z.read(infos[1]), b"after the dump\r\n")
        stored = stored_stream(archive, infos[0])
        self.assertEqual(stored, block_deflate(data))
        self.assertEqual(zlib.decompress(stored, -15), data)
        tested = subprocess.run(["unzip", "-t", archive], capture_output=True)
        self.assertEqual(tested.returncode, 0, tested.stdout)
        self.assertEqual(tested.stdout.count(b" OK\n"), 2, tested.stdout)
        return infos[0]

    def test_empty_and_one_byte(self):
        self.assertEqual(self.check(b"").compress_size, 2)
        self.check(b"\x7f")

    def test_one_block_and_one_byte_more(self):
        data = dump_like_bytes(BLOCK + 1, 2)
        self.check(data[:BLOCK])
        self.check(data)

    def test_large_incompressible(self):
        data = __import__("random").Random(3).randbytes(24 * BLOCK + 12345)
        info = self.check(data)
        self.assertLess(info.compress_size, len(data) * 1.001 + 64)


class ArchiveNamesAndPlaces(Scratch):
    def build(self, cwd, dump_directory, source, window="0", bitmap="", extras=()):
        return run(["archive", dump_directory, window, source, bitmap] + list(extras), cwd)

    def names(self, archive):
        with zipfile.ZipFile(archive) as z:
            self.assertIsNone(z.testzip())
            return z.namelist()

    def test_no_window_means_no_bitmap_entry_even_if_the_file_exists(self):
        write(self.path("dumps", "abc.dmp"), b"dump")
        write(self.path("dumps", "abc.bmp"), b"BM")
        result = self.build(self.root, "dumps", "dumps\\abc.dmp", "0", "dumps\\abc.bmp")
        self.assertEqual(result["result"], "1")
        self.assertEqual(self.names(self.path("dumps", "abc.zip")), ["abc.dmp"])

    def test_absolute_dump_directory_and_full_dump_name(self):
        out = self.path("out")
        write(os.path.join(out, "abc-full.dmp"), b"full")
        os.makedirs(self.path("elsewhere"))
        source = windows_path(os.path.join(out, "abc-full.dmp"))
        result = self.build(self.path("elsewhere"), windows_path(out), source)
        self.assertEqual(result["result"], "1")
        self.assertEqual(result["archive"], windows_path(os.path.join(out, "abc-full.zip")))
        self.assertEqual(self.names(os.path.join(out, "abc-full.zip")), ["abc-full.dmp"])

    def test_trailing_backslash_and_empty_dump_directory(self):
        write(self.path("dumps", "abc.dmp"), b"dump")
        result = self.build(self.root, "dumps\\", "dumps\\abc.dmp")
        self.assertEqual(result["result"], "1")
        self.assertEqual(result["archive"], windows_path(self.root) + "\\dumps\\\\abc.zip")
        self.assertEqual(self.names(self.path("dumps", "abc.zip")), ["abc.dmp"])

        result = self.build(self.root, "", "dumps\\abc.dmp")
        self.assertEqual(result["result"], "1")
        self.assertEqual(result["archive"], windows_path(self.root) + "\\abc.zip")
        self.assertEqual(self.names(self.path("abc.zip")), ["abc.dmp"])

    def test_archive_that_cannot_be_completed_is_reported(self):
        # First the size of the complete archive, then the same with the file size limit
        # inside its central directory, which a hundred entries make larger than the C
        # run-time's write buffer.
        write(self.path("dumps", "abc.dmp"), b"dump" * 100)
        for i in range(100):
            write(self.path("logs", "extra-file-%03d-with-a-rather-long-name.log" % i), b"x")
        arguments = ["archive", "dumps", "0", "dumps\\abc.dmp", "", "logs\\*.log"]
        self.assertEqual(run(arguments, self.root)["result"], "1")
        size = os.path.getsize(self.path("dumps", "abc.zip"))
        os.remove(self.path("dumps", "abc.zip"))

        for limit in (size - 22 - len(COMMENT) - 2000, 300):
            result = run(arguments, self.root, file_size_limit=limit)
            self.assertEqual(result["result"], "0", "limit %d of %d" % (limit, size))
            self.assertEqual(result["archive"], windows_path(self.path("dumps", "abc.zip")))


class WindowBitmap(Scratch):
    def capture(self, name, width=101, height=50, file_size_limit=None):
        base = windows_path(self.path(name))
        return run(["capture", base, str(width), str(height)], self.root,
                   file_size_limit=file_size_limit)

    def assertNear(self, pixel, colour):
        self.assertTrue(all(abs(p - c) <= 8 for p, c in zip(pixel, colour)), (pixel, colour))

    def test_client_area_at_16_bits_with_the_painted_colours(self):
        result = self.capture("shot")
        self.assertEqual(result["result"], "1")
        self.assertEqual(result["window"], "101 50")
        path = self.path("shot.bmp")
        with open(path, "rb") as f:
            header = f.read(54)
        self.assertEqual(header[:2], b"BM")
        self.assertEqual(struct.unpack_from("<H", header, 28)[0], 16)
        self.assertEqual(os.path.getsize(path), 54 + 204 * 50)
        with Image.open(path) as image:
            self.assertEqual(image.format, "BMP")
            self.assertEqual(image.size, (101, 50))
            rgb = image.convert("RGB")
            colours = sorted(rgb.getcolors(), reverse=True)
            self.assertEqual([count for count, _ in colours], [101 * 25, 101 * 25])
            # Rows are stored bottom-up; the reader puts the top of the window first.
            for x in (0, 50, 100):
                self.assertNear(rgb.getpixel((x, 0)), TOP_COLOUR)
                self.assertNear(rgb.getpixel((x, 24)), TOP_COLOUR)
                self.assertNear(rgb.getpixel((x, 25)), BOTTOM_COLOUR)
                self.assertNear(rgb.getpixel((x, 49)), BOTTOM_COLOUR)

    def test_existing_file_is_replaced(self):
        write(self.path("shot.bmp"), b"\xAB" * 100000)
        self.assertEqual(self.capture("shot", 20, 10)["result"], "1")
        self.assertEqual(os.path.getsize(self.path("shot.bmp")), 54 + 40 * 10)
        with Image.open(self.path("shot.bmp")) as image:
            self.assertEqual(image.size, (20, 10))

    def test_window_that_no_longer_exists_gives_no_file_and_false(self):
        result = run(["capture-gone", windows_path(self.path("gone"))], self.root)
        self.assertEqual(result["result"], "0")
        self.assertEqual(os.listdir(self.root), [])

    def test_failed_write_leaves_no_truncated_bitmap(self):
        result = self.capture("shot", file_size_limit=5000)
        self.assertEqual(result["result"], "0")
        self.assertFalse(os.path.exists(self.path("shot.bmp")))


if __name__ == "__main__":
    if len(RUNNER) != 2:
        sys.exit(__doc__)
    unittest.main(argv=sys.argv[:1], verbosity=2)
