"""Tests of sim/mkbird.py, the bird file writer and reader used by other tests."""

import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

SIM_DIR = Path(os.environ.get("SIM_DIR", Path(__file__).resolve().parents[3] / "sim"))
sys.dont_write_bytecode = True
sys.path.insert(0, str(SIM_DIR))
import mkbird  # noqa: E402

MKBIRD = str(SIM_DIR / "mkbird.py")
FINGERPRINT = (0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10)
CALL_TIMEOUT = 30


def reference_decode(stored, words):
    """Firmware image decoding written out from the file format description."""
    key = b"".join(w.to_bytes(4, "big") for w in words)
    out = bytearray()
    previous = 0
    for i, byte in enumerate(stored):
        plain = byte ^ key[i % 16] ^ previous
        out.append(plain)
        previous = plain
    return bytes(out)


def inflate(file_bytes):
    return zlib.decompress(file_bytes[6:])


def walk_blocks(body):
    """(type/flags byte, data) of each block of a well-formed block list, by hand."""
    pos, blocks = 4, []
    for _ in range(struct.unpack(">I", body[:4])[0]):
        length = struct.unpack(">I", body[pos + 1:pos + 5])[0]
        blocks.append((body[pos], body[pos + 5:pos + 5 + length]))
        pos += 5 + length
    return blocks, body[pos:]


class FileLayoutTest(unittest.TestCase):
    def test_bytes_follow_the_format_exactly(self):
        blocks = [
            mkbird.firmware_block(0x1000, b"\x01\x02", flags=1),
            mkbird.info_block(1234, "1.2.3", 0x0012ABCD, "Osprey"),
        ]
        data = mkbird.make(blocks, checksum=0xCAFEF00D)
        self.assertEqual(data[:6], b"bird\x01\x01")
        info = (b"1234".ljust(16) + b"1.2.3".ljust(16) + b"0012ABCD".ljust(16)
                + b"Osprey".ljust(16))
        expected = (b"\x00\x00\x00\x02"
                    + b"\x21" + b"\x00\x00\x00\x06" + b"\x00\x00\x10\x00\x01\x02"
                    + b"\x04" + b"\x00\x00\x00\x40" + info
                    + b"\xCA\xFE\xF0\x0D")
        self.assertEqual(inflate(data), expected)

    def test_every_block_kind_reads_back(self):
        blocks = [
            mkbird.loader_block(0x10000000, b"LOAD"),
            mkbird.firmware_block(0x0, bytes(range(200)), flags=7),
            mkbird.info_block("42", "2.0.1", "0012abcd", "Heron"),
            mkbird.serial_offsets_block(0x100, 0x200),
            mkbird.start_address_block(0x20000400),
            mkbird.raw_block(0x47, b"\x09\x08"),   # type 7, flags 2
        ]
        parsed = mkbird.parse(mkbird.make(blocks, checksum=7))
        self.assertEqual(parsed.problems, [])
        self.assertTrue(parsed.header_ok)
        self.assertEqual([(b.type, b.flags) for b in parsed.blocks],
                         [(0, 0), (1, 7), (4, 0), (2, 0), (5, 0), (7, 2)])
        self.assertEqual(parsed.blocks[0].address, 0x10000000)
        self.assertEqual(parsed.blocks[0].image, b"LOAD")
        self.assertEqual(parsed.blocks[1].image, bytes(range(200)))
        self.assertEqual(parsed.blocks[1].length, 204)
        self.assertEqual(parsed.info["serial"], "0012abcd        ")
        self.assertEqual(parsed.info["model"], "Heron           ")
        self.assertEqual(parsed.serial_number, 0x0012ABCD)
        self.assertEqual(parsed.serial_offsets, (0x100, 0x200))
        self.assertTrue(parsed.serial_replaceable)
        self.assertEqual(parsed.blocks[4].as_dict()["start_address"], 0x20000400)
        self.assertEqual(parsed.blocks[5].data, b"\x09\x08")
        self.assertEqual(parsed.checksum, 7)

    def test_info_fields_are_padded_and_cut_at_16(self):
        block = mkbird.info_block(7, "v" * 20, 0x1, "M")
        self.assertEqual(len(block.data), 64)
        self.assertEqual(block.data[16:32], b"v" * 16)
        self.assertEqual(block.data[32:48], b"00000001        ")
        self.assertEqual(mkbird.info_block(size=40).data, b"0".ljust(32) + b"00000000")

    def test_serial_offsets_are_written_as_given_even_outside_the_image(self):
        # Image 0x1000..0x1010; the word at 0x100E straddles its end, 0x5000 is outside.
        blocks = [mkbird.firmware_block(0x1000, bytes(16)),
                  mkbird.serial_offsets_block(0x100E, 0x5000)]
        body = inflate(mkbird.make(blocks))
        walked, _ = walk_blocks(body)
        self.assertEqual(walked[1], (2, b"\x00\x00\x10\x0E\x00\x00\x50\x00"))


class MalformedFileTest(unittest.TestCase):
    FIRMWARE = [mkbird.firmware_block(0x0, bytes(range(32)))]
    INFO = [mkbird.info_block(1, "1.0", 1, "Osprey")]

    def test_malformed_files(self):
        two = self.FIRMWARE + self.INFO
        cases = [
            # name, bytes, header ok, loadable, blocks parsed, problem text
            ("wrong count", mkbird.make(two, count=3), True, True, 2,
             "block count mismatch: 2 parsed, 3 reported"),
            ("truncated block", mkbird.make(two, truncate_list=4 + 37 + 20), True, True, 1,
             "runs past the end"),
            ("length 2^32-1", mkbird.make([mkbird.firmware_block(0, b"ab", length=0xFFFFFFFF)]),
             True, True, 0, "length 4294967295 runs past"),
            ("length 2^32-4", mkbird.make(self.INFO + [mkbird.raw_block(1, b"\0" * 8, length=0xFFFFFFFC)]),
             True, True, 1, "length 4294967292 runs past"),
            ("zero version byte", mkbird.make(two, version=0x0100), False, True, 2,
             "zero byte in format version 0100"),
            ("foreign signature", mkbird.make(two, signature=b"BIRD"), False, True, 2,
             "foreign signature 42495244"),
            ("six bytes", mkbird.make(two, truncate=6), True, False, 0, "no compressed data"),
            ("five bytes", mkbird.make(two, truncate=5), False, False, 0, "shorter than the 6-byte header"),
            ("short info", mkbird.make([mkbird.info_block(size=40)]), True, True, 1,
             "information block of 40 bytes"),
            ("short firmware", mkbird.make([mkbird.raw_block(1, b"\0\0")]), True, True, 1,
             "shorter than its address"),
            ("no checksum", mkbird.make(two, omit_checksum=True), True, True, 2,
             "no room for the checksum"),
            # checksum 0 and "xy" read as a block header: type 0, length 0x78
            ("trailing bytes", mkbird.make(two, checksum=0, trailing=b"xy"), True, True, 2,
             "block 2 at 114: length 120 runs past"),
            ("too compressible", mkbird.make([mkbird.firmware_block(0, bytes(100000))]), True, True, 1,
             "exceeds 8 times"),
        ]
        for name, data, header_ok, loadable, count, problem in cases:
            with self.subTest(name):
                parsed = mkbird.parse(data)
                self.assertEqual(parsed.header_ok, header_ok)
                self.assertEqual(parsed.loadable, loadable)
                self.assertEqual(len(parsed.blocks), count)
                self.assertTrue(any(problem in p for p in parsed.problems), parsed.problems)

    def test_corrupt_zlib_streams_do_not_inflate(self):
        for mode in mkbird.CORRUPTIONS:
            with self.subTest(mode):
                data = mkbird.make(self.FIRMWARE + self.INFO, corrupt=mode)
                self.assertEqual(data[:6], b"bird\x01\x01")
                with self.assertRaises(zlib.error):
                    zlib.decompress(data[6:])
                parsed = mkbird.parse(data)
                self.assertFalse(parsed.loadable)
                self.assertIsNotNone(parsed.zlib_error)

    def test_payload_replaces_the_stream(self):
        data = mkbird.make([], payload=b"\x01\x02\x03")
        self.assertEqual(data, b"bird\x01\x01\x01\x02\x03")


class RecoveryEncodingTest(unittest.TestCase):
    def test_known_vector(self):
        # key starts 01 02 03 04; stored = plain ^ key[i] ^ previous plain
        self.assertEqual(mkbird.encode_image(b"\xAA\x55\x00", FINGERPRINT), b"\xAB\xFD\x56")

    def test_reference_decoding_restores_every_firmware_block(self):
        images = [bytes((i * 7 + 3) & 0xFF for i in range(100)), bytes(range(16)) * 5, b""]
        loader = mkbird.loader_block(0x10000000, b"loader code")
        blocks = ([loader] + [mkbird.firmware_block(0x1000 * n, img) for n, img in enumerate(images)]
                  + [mkbird.info_block(5, "1.0", 0x12, "Osprey")])
        plain_body = inflate(mkbird.make(blocks, checksum=1))
        coded_body = inflate(mkbird.make(blocks, checksum=1, fingerprint=FINGERPRINT))
        plain, _ = walk_blocks(plain_body)
        coded, _ = walk_blocks(coded_body)
        self.assertEqual(coded[0], plain[0])           # loader untouched
        self.assertEqual(coded[-1], plain[-1])         # info untouched
        for (p_type, p_data), (c_type, c_data) in zip(plain[1:-1], coded[1:-1]):
            self.assertEqual(c_type, p_type)
            self.assertEqual(c_data[:4], p_data[:4])   # address untouched
            if p_data[4:]:
                self.assertNotEqual(c_data[4:], p_data[4:])
            self.assertEqual(reference_decode(c_data[4:], FINGERPRINT), p_data[4:])
        self.assertEqual(coded_body[-4:], plain_body[-4:])

    def test_chaining_restarts_at_every_block(self):
        image = bytes(range(50))
        blocks = [mkbird.firmware_block(0, image), mkbird.firmware_block(0x100, image)]
        coded, _ = walk_blocks(inflate(mkbird.make(blocks, fingerprint=FINGERPRINT)))
        self.assertEqual(coded[0][1][4:], coded[1][1][4:])

    def test_transcoding_a_file_both_ways(self):
        blocks = [mkbird.loader_block(0x10000000, b"ld"), mkbird.firmware_block(0, bytes(range(90))),
                  mkbird.raw_block(0x03, b"other")]
        plain = mkbird.make(blocks, checksum=9)
        encoded = mkbird.transcode_file(plain, FINGERPRINT)
        self.assertEqual(inflate(encoded), inflate(mkbird.make(blocks, checksum=9,
                                                              fingerprint=FINGERPRINT)))
        self.assertEqual(inflate(mkbird.transcode_file(encoded, FINGERPRINT, decode=True)),
                         inflate(plain))
        wrong = mkbird.transcode_file(encoded, (1, 2, 3, 5), decode=True)
        self.assertNotEqual(inflate(wrong), inflate(plain))
        with self.assertRaises(ValueError):
            mkbird.transcode_file(mkbird.make(blocks, corrupt="adler"), FINGERPRINT)


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def run_tool(self, *args, check=True):
        result = subprocess.run([sys.executable, MKBIRD, *map(str, args)], capture_output=True,
                                timeout=CALL_TIMEOUT)
        if check:
            self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result

    def dump_json(self, path, *extra):
        result = self.run_tool("dump", path, "--json", *extra, check=False)
        self.assertIn(result.returncode, (0, 2), result.stderr.decode())
        return json.loads(result.stdout)

    def test_build_keeps_command_line_order_and_options(self):
        image = self.dir / "image.bin"
        image.write_bytes(b"\xDE\xAD\xBE\xEF" * 4)
        out = self.dir / "a.bird"
        self.run_tool("build", "-o", out, "--firmware", "0x2000:@%s;flags=3" % image,
                      "--loader", "0x10000000:hex:0102", "--info",
                      "build=99,version=1.2,serial=0x00AB12CD,model=Osprey",
                      "--serial-offsets", "0x2004:0x2008", "--start", "0x20000400",
                      "--raw", "0x3F:text:xyz", "--checksum", "0x11223344")
        data = out.read_bytes()
        blocks = [mkbird.firmware_block(0x2000, b"\xDE\xAD\xBE\xEF" * 4, flags=3),
                  mkbird.loader_block(0x10000000, b"\x01\x02"),
                  mkbird.info_block("99", "1.2", 0x00AB12CD, "Osprey"),
                  mkbird.serial_offsets_block(0x2004, 0x2008),
                  mkbird.start_address_block(0x20000400),
                  mkbird.raw_block(0x3F, b"xyz")]
        self.assertEqual(inflate(data), inflate(mkbird.make(blocks, checksum=0x11223344)))
        dump = self.dump_json(out)
        self.assertEqual(dump["problems"], [])
        self.assertEqual([b["type_name"] for b in dump["blocks"]],
                         ["FIRMWARE", "LOADER", "INFO", "SERIAL_OFFSETS", "START_ADDRESS", "UNKNOWN"])
        self.assertEqual(dump["blocks"][2]["info"]["serial"].strip(), "00AB12CD")

    def test_malformed_options(self):
        out = self.dir / "m.bird"
        self.run_tool("build", "-o", out, "--firmware", "0:count:10;length=0xFFFFFFF0",
                      "--count", "5", "--format-version", "0x0100", "--signature", "hex:00112233")
        dump = self.dump_json(out)
        self.assertEqual(dump["signature"], "00112233")
        self.assertEqual(dump["version"], 0x0100)
        self.assertFalse(dump["header_ok"])
        self.assertEqual(dump["reported_count"], 5)
        self.assertEqual(dump["block_count"], 0)
        self.run_tool("build", "-o", out, "--firmware", "0:zeros:10", "--truncate-file", "6")
        self.assertEqual(out.read_bytes(), b"bird\x01\x01")
        self.assertEqual(self.run_tool("dump", out, check=False).returncode, 2)

    def test_encode_decode_commands(self):
        plain = self.dir / "p.bird"
        coded = self.dir / "c.bird"
        back = self.dir / "b.bird"
        self.run_tool("build", "-o", plain, "--loader", "0x10000000:count:8", "--firmware", "0:count:64")
        self.run_tool("encode", plain, "-o", coded, "--fingerprint", "01020304,05060708,090A0B0C,0D0E0F10")
        self.run_tool("decode", coded, "-o", back, "--fingerprint", "[ 01020304 05060708 090A0B0C 0D0E0F10 ]")
        self.assertEqual(inflate(back.read_bytes()), inflate(plain.read_bytes()))
        coded_blocks = self.dump_json(coded, "--data")["blocks"]
        self.assertEqual(reference_decode(bytes.fromhex(coded_blocks[1]["data"])[4:], FINGERPRINT),
                         bytes(range(64)))
        decoded = self.dump_json(coded, "--data", "--fingerprint", "01020304 05060708 090A0B0C 0D0E0F10")
        self.assertEqual(bytes.fromhex(decoded["blocks"][1]["data"])[4:], bytes(range(64)))

    def test_bad_input_is_refused(self):
        out = self.dir / "x.bird"
        for args in (["build", "-o", out, "--firmware", "0:nonsense:1"],
                     ["build", "-o", out, "--info", "colour=red"],
                     ["build", "-o", out, "--firmware", "0:zeros:1;weight=2"],
                     ["encode", self.dir / "missing.bird", "-o", out, "--fingerprint", "1,2,3,4"],
                     ["encode", out, "-o", out, "--fingerprint", "1,2,3"]):
            with self.subTest(args=args[:4]):
                self.assertNotEqual(self.run_tool(*args, check=False).returncode, 0)


if __name__ == "__main__":
    unittest.main()
