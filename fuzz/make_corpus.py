#!/usr/bin/python3
"""Writes the seed corpora of the bird-file and settings-file fuzz targets.

    /usr/bin/python3 fuzz/make_corpus.py

Bird files come from sim/mkbird.py: well-formed files of each block kind and a few damaged ones,
so that the fuzzer starts from every branch of the loader. The bird-file target reads one mode
byte first: 0 and a whole file, or 1 and a bare block list (see fuzz/fuzz_birdfile.cpp); every
file seed is written both ways. Output: fuzz/corpus/fuzz_birdfile/ and
fuzz/corpus/fuzz_settings/ (existing seeds of the same name are replaced).

With --regressions it also writes the hand-made regression inputs for the faults that bad bird
and settings files can provoke into fuzz/regressions/<target>/, each named after its fault.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))

import mkbird  # noqa: E402

INFO = mkbird.info_block(build=1234, version="1.2.3", serial=0x0012ABCD, model="Osprey")


def bird_seeds():
    image = bytes(range(64)) * 4
    loader = mkbird.loader_block(0x10000000, bytes(32))
    firmware = mkbird.firmware_block(0, image)
    return {
        "plain.bird": mkbird.make([loader, firmware, INFO]),
        "generic.bird": mkbird.make([loader, mkbird.firmware_block(0, image),
                                     mkbird.serial_offsets_block(0x20, 0x40), INFO]),
        "recovery.bird": mkbird.make([loader, firmware, mkbird.start_address_block(0x20000400), INFO],
                                     fingerprint=(1, 2, 3, 4)),
        "flags-unknown-types.bird": mkbird.make([mkbird.raw_block(0xE7, b"xyz"),
                                                 mkbird.firmware_block(0x100, image, flags=5),
                                                 mkbird.raw_block(0x1F, b"")]),
        "erased-flash.bird": mkbird.make([mkbird.firmware_block(0, b"\xff" * 8192), INFO]),
        "short-info.bird": mkbird.make([mkbird.info_block(1, "1.0", 1, "Osprey", size=40)]),
        "count-mismatch.bird": mkbird.make([firmware, INFO], count=3),
        "length-past-end.bird": mkbird.make([mkbird.firmware_block(0, image, length=0xFFFFFFF0)]),
        "no-checksum.bird": mkbird.make([INFO], omit_checksum=True),
        "zero-blocks.bird": mkbird.make([]),
        "empty-list.bird": mkbird.make([], truncate_list=0),
        "corrupt-zlib.bird": mkbird.make([firmware], corrupt="adler"),
        "truncated-zlib.bird": mkbird.make([firmware], corrupt="truncate"),
        "header-only.bird": b"bird\x01\x01",
    }


SETTINGS_SEEDS = {
    "typical.settings": b"CREATED_TIME=Sat Dec  5 21:20:24 2026\nLAST_DOWNLOAD_DATE=Sat Dec  5 21:20:24 2026\n"
                        b"LATEST_DOWNLOAD=1234.bird\nUPDATED_TIME=Sat Dec  5 21:20:25 2026\n",
    "spacing.settings": b"  KEY  =  some value  \nA=b=c\n#A=1\nx\n #A=1\r\nEMPTY=\n",
    "duplicates.settings": b"K=1\nK=2\nhex=0x1F\nnum=12abc\n",
    "no-final-newline.settings": b"ZETA=last\nALPHA=first",
}


FILE_MODE = b"\x00"
LIST_MODE = b"\x01"


def bird_inputs():
    inputs = {}
    for name, data in bird_seeds().items():
        inputs["file-" + name] = FILE_MODE + data
        parsed = mkbird.parse(data)
        if parsed.loadable:
            inputs["list-" + name] = LIST_MODE + parsed.body
    return inputs


def list_input(blocks_bytes, count):
    """A bare block list for the target's list mode: count, raw blocks, checksum."""
    return LIST_MODE + mkbird.be32(count) + blocks_bytes + mkbird.be32(0)


def bird_regressions():
    image = bytes(range(256))
    firmware = mkbird.firmware_block(0, image)
    return {
        "block-length-near-4G-runs-past-list":
            LIST_MODE + mkbird.be32(1) + bytes([1]) + mkbird.be32(0xFFFFFFFB) + bytes(8),
        "firmware-block-shorter-than-its-address":
            list_input(mkbird.Block(1, b"\x00\x00").to_bytes()
                       + mkbird.serial_offsets_block(1, 1).to_bytes(), 2),
        "info-block-shorter-than-64":
            list_input(mkbird.info_block(1, "1.0", 0x12, "Osprey", size=20).to_bytes(), 1),
        "serial-fields-straddle-image-end":
            list_input(firmware.to_bytes() + mkbird.serial_offsets_block(0xFE, 0xFA).to_bytes(), 2),
        "serial-offset-near-4G-wraps":
            list_input(mkbird.firmware_block(0xFFFFFF00, image).to_bytes()
                       + mkbird.serial_offsets_block(0xFFFFFFFE, 0xFFFFFFF8).to_bytes(), 2),
        "serial-offsets-block-shorter-than-8":
            list_input(firmware.to_bytes() + mkbird.Block(2, b"\x00\x00\x01").to_bytes(), 2),
        "block-list-shorter-than-its-count": LIST_MODE + b"\x00\x01",
        "no-room-for-checksum": LIST_MODE + mkbird.be32(1) + mkbird.Block(7, b"").to_bytes() + b"\x00\x00",
        "vector-checksum-on-short-image":
            list_input(mkbird.firmware_block(0, bytes(31)).to_bytes(), 1),
        "inflate-bomb-over-64MiB":
            FILE_MODE + mkbird.wrap(bytes(65 * 1024 * 1024), level=9),
        "erased-flash-beyond-8-to-1":
            FILE_MODE + mkbird.make([mkbird.firmware_block(0, b"\xff" * (1024 * 1024)), INFO]),
        "zlib-stream-cut-short": FILE_MODE + mkbird.make([firmware], corrupt="truncate"),
    }


SETTINGS_REGRESSIONS = {
    "line-longer-than-read-buffer": b"A=1\n" + b"L=" + b"x" * 3000 + b"\nB=2\n",
    "nul-byte-inside-line": b"AB\x00C=1\nD=\x00x\n",
    "key-of-only-spaces": b"   =x\n\t=\n",
    "hash-key-after-space": b" #A=1\n#B=2\n",
    "crlf-line-ends": b"A=1\r\nB = 2 \r\n",
    "line-without-equals": b"no equals here\n==\n",
}


def write(directory, files):
    os.makedirs(directory, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as handle:
            handle.write(data)


def main(argv):
    write(os.path.join(HERE, "corpus", "fuzz_birdfile"), bird_inputs())
    write(os.path.join(HERE, "corpus", "fuzz_settings"), SETTINGS_SEEDS)
    if "--regressions" in argv:
        write(os.path.join(HERE, "regressions", "fuzz_birdfile"), bird_regressions())
        write(os.path.join(HERE, "regressions", "fuzz_settings"), SETTINGS_REGRESSIONS)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
