#!/usr/bin/python3
"""Bird firmware file writer and reader for tests.

Usable as a module (``import mkbird``) and as a command-line tool:

    mkbird.py build -o out.bird --loader 0x10000000:count:64 \
        --firmware 0x0:@image.bin --info build=1234,version=1.2.3,serial=0x0012ABCD,model=Osprey
    mkbird.py dump out.bird [--json] [--fingerprint W0,W1,W2,W3]
    mkbird.py encode in.bird -o out.bird --fingerprint W0,W1,W2,W3
    mkbird.py decode in.bird -o out.bird --fingerprint W0,W1,W2,W3

File layout written here:
    "bird", 2-byte big-endian format version, zlib stream of the block list.
    Block list: 4-byte block count, blocks, 4-byte checksum (all big-endian).
    Block: 1 byte (flags << 5 | type), 4-byte length L, L data bytes.

The reader (``parse``) is tolerant: it reports every problem it meets instead
of stopping, so malformed test files can be inspected too.
"""

import argparse
import json
import struct
import sys
import zlib

SIGNATURE = b"bird"
FORMAT_VERSION = 0x0101

BLOCK_LOADER = 0
BLOCK_FIRMWARE = 1
BLOCK_SERIAL_OFFSETS = 2
BLOCK_INFO = 4
BLOCK_START_ADDRESS = 5

TYPE_MASK = 0x1F
FLAG_SHIFT = 5
INFO_SIZE = 64
INFO_FIELD = 16
# The device side inflates into a buffer of this many times the compressed size.
INFLATE_RATIO_LIMIT = 8

TYPE_NAMES = {
    BLOCK_LOADER: "LOADER",
    BLOCK_FIRMWARE: "FIRMWARE",
    BLOCK_SERIAL_OFFSETS: "SERIAL_OFFSETS",
    BLOCK_INFO: "INFO",
    BLOCK_START_ADDRESS: "START_ADDRESS",
}


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


# ---------------------------------------------------------------- blocks


class Block:
    """One block: type (0..31), flags (0..7), data bytes.

    ``length`` overrides the length field written in the header (default:
    the real data length); use it for blocks that claim more data than follows.
    """

    def __init__(self, btype, data=b"", flags=0, length=None):
        if not 0 <= btype <= TYPE_MASK:
            raise ValueError("block type must be 0..31")
        if not 0 <= flags <= 7:
            raise ValueError("block flags must be 0..7")
        self.type = btype
        self.flags = flags
        self.data = bytes(data)
        self.length = length

    def to_bytes(self):
        length = len(self.data) if self.length is None else self.length
        return bytes([(self.flags << FLAG_SHIFT) | self.type]) + be32(length) + self.data

    def __repr__(self):
        return "Block(type=%d, flags=%d, %d bytes)" % (self.type, self.flags, len(self.data))


def loader_block(address, code, flags=0, length=None):
    return Block(BLOCK_LOADER, be32(address) + bytes(code), flags, length)


def firmware_block(address, image, flags=0, length=None):
    return Block(BLOCK_FIRMWARE, be32(address) + bytes(image), flags, length)


def serial_offsets_block(serial_offset, descriptor_offset=0, flags=0, length=None):
    return Block(BLOCK_SERIAL_OFFSETS, be32(serial_offset) + be32(descriptor_offset), flags, length)


def start_address_block(address, flags=0, length=None):
    return Block(BLOCK_START_ADDRESS, be32(address), flags, length)


def info_field(value):
    """16 characters, space-padded on the right, cut at 16."""
    if isinstance(value, int):
        value = str(value)
    if isinstance(value, str):
        value = value.encode("latin-1")
    return bytes(value[:INFO_FIELD]).ljust(INFO_FIELD, b" ")


def serial_field_text(serial):
    """An int serial becomes 8 upper-case hex digits; text is used as it is."""
    if isinstance(serial, int):
        return "%08X" % (serial & 0xFFFFFFFF)
    return serial


def info_block(build=0, version="", serial=0, model="", size=INFO_SIZE, flags=0, length=None):
    """Information block: build, version, serial field, model (16 bytes each).

    ``size`` cuts (or space-pads) the block data to that many bytes, for
    blocks shorter than the usual 64.
    """
    data = (info_field(build) + info_field(version)
            + info_field(serial_field_text(serial)) + info_field(model))
    data = data[:size].ljust(size, b" ")
    return Block(BLOCK_INFO, data, flags, length)


def raw_block(type_flags, data, length=None):
    """A block from its raw type/flags byte (any type, any flags)."""
    return Block(type_flags & TYPE_MASK, data, (type_flags >> FLAG_SHIFT) & 7, length)


# ---------------------------------------------------------------- recovery coding


def fingerprint_key(fingerprint):
    """16-byte key: the four words in order, each most significant byte first."""
    words = list(fingerprint)
    if len(words) != 4:
        raise ValueError("a fingerprint has four words")
    return b"".join(be32(w) for w in words)


def encode_image(image, fingerprint):
    """Encode one firmware image so that the device-side decoding restores it.

    Decoding is plain = stored ^ key[i] ^ previous_plain, so encoding is
    stored = plain ^ key[i] ^ previous_plain, chained on the plain bytes.
    """
    key = fingerprint_key(fingerprint)
    out = bytearray(len(image))
    previous = 0
    for i, plain in enumerate(image):
        out[i] = plain ^ key[i % 16] ^ previous
        previous = plain
    return bytes(out)


def decode_image(stored, fingerprint):
    key = fingerprint_key(fingerprint)
    out = bytearray(len(stored))
    previous = 0
    for i, byte in enumerate(stored):
        plain = byte ^ key[i % 16] ^ previous
        out[i] = plain
        previous = plain
    return bytes(out)


def encode_blocks(blocks, fingerprint):
    """Copies of ``blocks`` with every firmware image encoded (address kept).

    Each firmware block restarts the key and the chaining; other blocks are
    returned unchanged.
    """
    result = []
    for block in blocks:
        if block.type == BLOCK_FIRMWARE and len(block.data) >= 4:
            data = block.data[:4] + encode_image(block.data[4:], fingerprint)
            result.append(Block(block.type, data, block.flags, block.length))
        else:
            result.append(block)
    return result


# ---------------------------------------------------------------- file assembly


def default_checksum(body):
    """Checksum stored after the last block: CRC-32 of the bytes before it.

    The reader keeps but never checks it, so any value would do.
    """
    return zlib.crc32(body) & 0xFFFFFFFF


def block_list(blocks, count=None, checksum=None, omit_checksum=False, trailing=b"",
               truncate=None):
    """The inflated block list.

    count:         reported block count (default: the real number of blocks)
    checksum:      checksum value (default: ``default_checksum``)
    omit_checksum: leave the checksum out
    trailing:      extra bytes after the checksum (a reader takes them and the
                   checksum for one more block header)
    truncate:      cut the finished list to this many bytes
    """
    body = be32(len(blocks) if count is None else count)
    body += b"".join(b.to_bytes() for b in blocks)
    if not omit_checksum:
        body += be32(default_checksum(body) if checksum is None else checksum)
    body += bytes(trailing)
    if truncate is not None:
        body = body[:truncate]
    return body


CORRUPTIONS = ("adler", "header", "truncate", "garbage")


def corrupt_stream(stream, mode):
    """Damage a zlib stream so that inflating it fails.

    adler:    wrong Adler-32 trailer (data error at the very end)
    header:   invalid zlib header (check bits wrong)
    truncate: stream cut in the middle (inflate runs out of input)
    garbage:  stream bytes after the header replaced by a fixed junk pattern
    """
    data = bytearray(stream)
    if mode == "adler":
        data[-1] ^= 0xFF
    elif mode == "header":
        data[1] ^= 0x01
    elif mode == "truncate":
        data = data[:max(2, len(data) // 2)]
    elif mode == "garbage":
        junk = bytes((0xFF, 0xFE, 0xFD, 0xFC)) * ((len(data) + 3) // 4)
        data[2:] = junk[:max(len(data) - 2, 4)]
    else:
        raise ValueError("unknown zlib corruption %r (one of %s)" % (mode, ", ".join(CORRUPTIONS)))
    return bytes(data)


def wrap(body, signature=SIGNATURE, version=FORMAT_VERSION, corrupt=None, payload=None,
         truncate=None, level=-1):
    """The file bytes around a block list.

    signature: 4 bytes written first
    version:   16-bit format version, big-endian (0x0100 gives a zero second byte)
    corrupt:   one of CORRUPTIONS to damage the zlib stream
    payload:   bytes written after the 6-byte header instead of the zlib stream
    truncate:  cut the finished file to this many bytes
    level:     zlib level (-1: zlib's default, as its compress() uses)
    """
    if payload is None:
        payload = zlib.compress(body, level)
        if corrupt:
            payload = corrupt_stream(payload, corrupt)
    data = bytes(signature) + struct.pack(">H", version & 0xFFFF) + bytes(payload)
    if truncate is not None:
        data = data[:truncate]
    return data


def make(blocks, fingerprint=None, count=None, checksum=None, omit_checksum=False,
         trailing=b"", truncate_list=None, signature=SIGNATURE, version=FORMAT_VERSION,
         corrupt=None, payload=None, truncate=None, level=-1):
    """Complete bird file bytes from a list of blocks.

    With ``fingerprint`` the firmware images are encoded as a recovery image
    for that chip.  Other options: see ``block_list`` and ``wrap``.
    """
    if fingerprint is not None:
        blocks = encode_blocks(blocks, fingerprint)
    body = block_list(blocks, count=count, checksum=checksum, omit_checksum=omit_checksum,
                      trailing=trailing, truncate=truncate_list)
    return wrap(body, signature=signature, version=version, corrupt=corrupt, payload=payload,
                truncate=truncate, level=level)


def simple_file(build=1, version="1.0.0", serial=0, model="Osprey", firmware=b"", address=0,
                loader=b"", loader_address=0x10000000, **options):
    """A common well-formed file: optional loader, one firmware block, info block."""
    blocks = []
    if loader:
        blocks.append(loader_block(loader_address, loader))
    blocks.append(firmware_block(address, firmware))
    blocks.append(info_block(build, version, serial, model))
    return make(blocks, **options)


# ---------------------------------------------------------------- reading


class ParsedBlock:
    def __init__(self, index, offset, type_flags, length, data):
        self.index = index
        self.offset = offset          # offset of the type byte in the block list
        self.type = type_flags & TYPE_MASK
        self.flags = type_flags >> FLAG_SHIFT
        self.length = length
        self.data = data              # the L data bytes
        self.address = None
        if self.type in (BLOCK_LOADER, BLOCK_FIRMWARE) and length >= 4:
            self.address = struct.unpack(">I", data[:4])[0]

    @property
    def data_offset(self):
        return self.offset + 5

    @property
    def image(self):
        """Image bytes of a loader or firmware block (after the address)."""
        return self.data[4:]

    def as_dict(self, with_data=False):
        result = {
            "index": self.index,
            "offset": self.offset,
            "type": self.type,
            "type_name": TYPE_NAMES.get(self.type, "UNKNOWN"),
            "flags": self.flags,
            "length": self.length,
            "address": self.address,
        }
        if self.type == BLOCK_INFO:
            result["info"] = info_fields(self.data)
        if self.type == BLOCK_SERIAL_OFFSETS and self.length >= 8:
            result["serial_offset"], result["descriptor_offset"] = struct.unpack(">II", self.data[:8])
        if self.type == BLOCK_START_ADDRESS and self.length >= 4:
            result["start_address"] = struct.unpack(">I", self.data[:4])[0]
        if with_data:
            result["data"] = self.data.hex()
        return result


def info_fields(data):
    """The four 16-character fields of an information block (shorter data: what is there)."""
    names = ("build", "version", "serial", "model")
    return {name: data[i * INFO_FIELD:(i + 1) * INFO_FIELD].decode("latin-1")
            for i, name in enumerate(names)}


class Parsed:
    """Everything read from a bird file; ``problems`` lists what is wrong with it."""

    def __init__(self):
        self.size = 0
        self.signature = b""
        self.version = None
        self.header_ok = False        # 6 header bytes, "bird", both version bytes non-zero
        self.loadable = False         # more than 6 bytes and the zlib stream inflates
        self.zlib_error = None
        self.compressed_size = 0
        self.body = b""               # the inflated block list
        self.reported_count = None
        self.blocks = []
        self.checksum = None
        self.problems = []

    def find(self, btype):
        return [b for b in self.blocks if b.type == btype]

    @property
    def serial_replaceable(self):
        return bool(self.find(BLOCK_SERIAL_OFFSETS))

    @property
    def serial_offsets(self):
        """(serial offset, descriptor offset) of the first serial-offsets block, else (0, 0)."""
        for block in self.find(BLOCK_SERIAL_OFFSETS):
            data = block.data.ljust(8, b"\0")
            return struct.unpack(">II", data[:8])
        return (0, 0)

    @property
    def info(self):
        blocks = self.find(BLOCK_INFO)
        return info_fields(blocks[0].data) if blocks else None

    @property
    def serial_number(self):
        """First 8 characters of the serial field read as hex (None if unreadable or absent)."""
        info = self.info
        if info is None:
            return None
        try:
            return int(info["serial"][:8], 16)
        except ValueError:
            return None

    def as_dict(self, with_data=False):
        return {
            "size": self.size,
            "signature": self.signature.hex(),
            "version": self.version,
            "header_ok": self.header_ok,
            "loadable": self.loadable,
            "zlib_error": self.zlib_error,
            "compressed_size": self.compressed_size,
            "inflated_size": len(self.body),
            "reported_count": self.reported_count,
            "block_count": len(self.blocks),
            "blocks": [b.as_dict(with_data) for b in self.blocks],
            "checksum": self.checksum,
            "serial_replaceable": self.serial_replaceable,
            "serial_offsets": list(self.serial_offsets),
            "problems": list(self.problems),
        }


def parse(data):
    """Read bird file bytes; never raises for malformed input."""
    parsed = Parsed()
    parsed.size = len(data)
    parsed.signature = bytes(data[:4])
    if len(data) >= 6:
        parsed.version = struct.unpack(">H", data[4:6])[0]
    parsed.header_ok = (len(data) >= 6 and data[:4] == SIGNATURE
                        and data[4] != 0 and data[5] != 0)
    if len(data) < 6:
        parsed.problems.append("shorter than the 6-byte header")
    else:
        if data[:4] != SIGNATURE:
            parsed.problems.append("foreign signature %s" % data[:4].hex())
        if data[4] == 0 or data[5] == 0:
            parsed.problems.append("zero byte in format version %04X" % parsed.version)
    if len(data) <= 6:
        parsed.problems.append("no compressed data")
        return parsed
    stream = bytes(data[6:])
    parsed.compressed_size = len(stream)
    try:
        parsed.body = zlib.decompress(stream)
    except zlib.error as error:
        parsed.zlib_error = str(error)
        parsed.problems.append("zlib: %s" % error)
        return parsed
    parsed.loadable = True
    if len(parsed.body) > INFLATE_RATIO_LIMIT * len(stream):
        parsed.problems.append("inflated size %d exceeds %d times the compressed size %d"
                               % (len(parsed.body), INFLATE_RATIO_LIMIT, len(stream)))
    _scan_blocks(parsed)
    return parsed


def _scan_blocks(parsed):
    body = parsed.body
    if len(body) < 4:
        parsed.problems.append("block list shorter than its count field")
        return
    parsed.reported_count = struct.unpack(">I", body[:4])[0]
    pos = 4
    size_mismatch = False
    while len(body) - pos > 4:
        type_flags = body[pos]
        length = struct.unpack(">I", body[pos + 1:pos + 5])[0]
        end = pos + 5 + length
        if end > len(body):
            parsed.problems.append("block %d at %d: length %d runs past the end of the list"
                                   % (len(parsed.blocks), pos, length))
            size_mismatch = True
            break
        block = ParsedBlock(len(parsed.blocks), pos, type_flags, length, body[pos + 5:end])
        if block.type in (BLOCK_LOADER, BLOCK_FIRMWARE) and length < 4:
            parsed.problems.append("block %d: %s block shorter than its address"
                                   % (block.index, TYPE_NAMES[block.type]))
        if block.type == BLOCK_INFO and length < INFO_SIZE:
            parsed.problems.append("block %d: information block of %d bytes (less than %d)"
                                   % (block.index, length, INFO_SIZE))
        if block.type == BLOCK_SERIAL_OFFSETS and length < 8:
            parsed.problems.append("block %d: serial offsets block of %d bytes (less than 8)"
                                   % (block.index, length))
        parsed.blocks.append(block)
        pos = end
    if not size_mismatch:
        if len(body) - pos < 4:
            parsed.problems.append("no room for the checksum (%d bytes left)" % (len(body) - pos))
        else:
            # The loop stops with at most 4 bytes left, so nothing can follow the
            # checksum: extra bytes written after it are read as one more block.
            parsed.checksum = struct.unpack(">I", body[pos:pos + 4])[0]
    if len(parsed.blocks) != parsed.reported_count:
        parsed.problems.append("block count mismatch: %d parsed, %d reported"
                               % (len(parsed.blocks), parsed.reported_count))


def transcode_file(data, fingerprint, decode=False, level=-1):
    """Encode (or decode) every firmware image of an existing file for a fingerprint.

    The block list is changed only inside the firmware images; header, other
    blocks, checksum and any trailing bytes stay as they were.  Raises
    ValueError when the file cannot be inflated.
    """
    parsed = parse(data)
    if not parsed.loadable:
        raise ValueError("cannot inflate: %s" % "; ".join(parsed.problems))
    body = bytearray(parsed.body)
    coder = decode_image if decode else encode_image
    for block in parsed.find(BLOCK_FIRMWARE):
        if block.length < 4:
            continue
        start = block.data_offset + 4
        end = block.data_offset + block.length
        body[start:end] = coder(bytes(body[start:end]), fingerprint)
    return bytes(data[:6]) + zlib.compress(bytes(body), level)


# ---------------------------------------------------------------- command line


def parse_int(text):
    return int(text, 0)


def parse_fingerprint(text):
    """Four hex words separated by commas, spaces or "%20"; brackets allowed ("[ A B C D ]")."""
    cleaned = text.replace("%20", " ").replace(",", " ").strip().strip("[]")
    words = [int(w, 16) for w in cleaned.split()]
    if len(words) != 4 or any(not 0 <= w <= 0xFFFFFFFF for w in words):
        raise ValueError("a fingerprint is four 32-bit hex words")
    return words


def parse_data(text):
    """Bytes from a data source.

    @PATH        file contents
    hex:0011FF   hex bytes
    text:abc     latin-1 text
    count:N      N bytes 00 01 02 ... FF 00 ...
    fill:N:BB    N bytes of hex value BB
    zeros:N      N zero bytes
    ""           no bytes
    """
    if text == "":
        return b""
    if text.startswith("@"):
        with open(text[1:], "rb") as handle:
            return handle.read()
    kind, _, rest = text.partition(":")
    if kind == "hex":
        return bytes.fromhex(rest)
    if kind == "text":
        return rest.encode("latin-1")
    if kind == "count":
        return bytes(i & 0xFF for i in range(parse_int(rest)))
    if kind == "fill":
        count, _, value = rest.partition(":")
        return bytes([int(value, 16)]) * parse_int(count)
    if kind == "zeros":
        return bytes(parse_int(rest))
    raise ValueError("unknown data source %r" % text)


def split_modifiers(text):
    """'main;flags=3;length=0x10' -> ('main', {'flags': 3, 'length': 16})."""
    main, *mods = text.split(";")
    options = {}
    for mod in mods:
        key, _, value = mod.partition("=")
        if key not in ("flags", "length"):
            raise ValueError("unknown block modifier %r (flags, length)" % key)
        options[key] = parse_int(value)
    return main, options


def parse_key_values(text):
    values = {}
    for item in text.split(",") if text else []:
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError("expected key=value, got %r" % item)
        values[key.strip()] = value
    return values


def block_from_option(kind, text):
    main, mods = split_modifiers(text)
    if kind in ("loader", "firmware"):
        address, _, data = main.partition(":")
        maker = loader_block if kind == "loader" else firmware_block
        return maker(parse_int(address), parse_data(data), **mods)
    if kind == "info":
        values = parse_key_values(main)
        unknown = set(values) - {"build", "version", "serial", "model", "size"}
        if unknown:
            raise ValueError("unknown info keys: %s" % ", ".join(sorted(unknown)))
        serial = values.get("serial", "0")
        if serial.lower().startswith("0x"):
            serial = int(serial, 16)
        return info_block(build=values.get("build", "0"), version=values.get("version", ""),
                          serial=serial, model=values.get("model", ""),
                          size=parse_int(values.get("size", str(INFO_SIZE))), **mods)
    if kind == "serial-offsets":
        serial, _, descriptor = main.partition(":")
        return serial_offsets_block(parse_int(serial), parse_int(descriptor or "0"), **mods)
    if kind == "start":
        return start_address_block(parse_int(main), **mods)
    if kind == "raw":
        type_flags, _, data = main.partition(":")
        block = raw_block(parse_int(type_flags), parse_data(data), mods.get("length"))
        if "flags" in mods:
            block.flags = mods["flags"]
        return block
    raise ValueError(kind)


class _AppendBlock(argparse.Action):
    """Keeps blocks of all kinds in command-line order."""

    def __call__(self, parser, namespace, values, option_string=None):
        entries = getattr(namespace, "blocks", None) or []
        entries.append((self.const, values))
        namespace.blocks = entries


def _write_output(path, data):
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        with open(path, "wb") as handle:
            handle.write(data)


def _read_input(path):
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as handle:
        return handle.read()


def cmd_build(args):
    blocks = [block_from_option(kind, text) for kind, text in (getattr(args, "blocks", None) or [])]
    data = make(
        blocks,
        fingerprint=parse_fingerprint(args.fingerprint) if args.fingerprint else None,
        count=args.count,
        checksum=args.checksum,
        omit_checksum=args.no_checksum,
        trailing=parse_data(args.trailing) if args.trailing else b"",
        truncate_list=args.truncate_list,
        signature=_signature(args.signature),
        version=args.format_version,
        corrupt=args.corrupt_zlib,
        payload=parse_data(args.payload) if args.payload is not None else None,
        truncate=args.truncate_file,
    )
    _write_output(args.output, data)
    return 0


def _signature(text):
    if text.startswith("hex:"):
        return bytes.fromhex(text[4:])
    return text.encode("latin-1")


def describe(parsed, name="", with_data=False):
    """Human-readable dump of a parsed file."""
    lines = []
    lines.append("file %s: %d bytes" % (name, parsed.size))
    version = "-" if parsed.version is None else "0x%04X" % parsed.version
    lines.append("signature %s  format version %s  header %s"
                 % (parsed.signature.hex(), version, "ok" if parsed.header_ok else "BAD"))
    if parsed.loadable:
        lines.append("inflated %d bytes from %d" % (len(parsed.body), parsed.compressed_size))
        lines.append("reported blocks %s, parsed %d" % (parsed.reported_count, len(parsed.blocks)))
    for block in parsed.blocks:
        text = "block %d @%d: type %d %s flags %d length %d" % (
            block.index, block.offset, block.type, TYPE_NAMES.get(block.type, "UNKNOWN"),
            block.flags, block.length)
        if block.address is not None:
            text += " address 0x%08X" % block.address
        lines.append(text)
        details = block.as_dict()
        if "info" in details:
            for key, value in details["info"].items():
                lines.append("    %-8s [%s]" % (key, value))
        if "serial_offset" in details:
            lines.append("    serial offset 0x%08X descriptor offset 0x%08X"
                         % (details["serial_offset"], details["descriptor_offset"]))
        if "start_address" in details:
            lines.append("    start address 0x%08X" % details["start_address"])
        if with_data:
            for i in range(0, len(block.data), 32):
                lines.append("    %06X %s" % (i, block.data[i:i + 32].hex()))
    if parsed.checksum is not None:
        lines.append("checksum 0x%08X" % parsed.checksum)
    if parsed.serial_replaceable:
        lines.append("serial replaceable: serial offset 0x%08X descriptor offset 0x%08X"
                     % parsed.serial_offsets)
    lines.append("problems: %s" % ("; ".join(parsed.problems) if parsed.problems else "none"))
    return "\n".join(lines) + "\n"


def cmd_dump(args):
    data = _read_input(args.input)
    if args.fingerprint:
        data = transcode_file(data, parse_fingerprint(args.fingerprint), decode=True)
    parsed = parse(data)
    if args.json:
        sys.stdout.write(json.dumps(parsed.as_dict(args.data), indent=1) + "\n")
    else:
        sys.stdout.write(describe(parsed, args.input, args.data))
    return 0 if not parsed.problems else 2


def cmd_transcode(args, decode):
    data = _read_input(args.input)
    try:
        out = transcode_file(data, parse_fingerprint(args.fingerprint), decode=decode)
    except ValueError as error:
        sys.stderr.write("mkbird: %s\n" % error)
        return 1
    _write_output(args.output, out)
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="mkbird.py", description="Write and read bird firmware files.")
    sub = parser.add_subparsers(dest="command", required=True)

    build = sub.add_parser("build", help="write a bird file",
                           description="Blocks are written in command-line order. DATA is @PATH, "
                           "hex:HEX, text:TEXT, count:N, fill:N:BB or zeros:N. Any block option may "
                           "end with ;flags=N and/or ;length=N (overrides the length field).")
    build.add_argument("-o", "--output", required=True, help="output file, - for stdout")
    build.add_argument("--loader", action=_AppendBlock, const="loader", metavar="ADDR:DATA")
    build.add_argument("--firmware", action=_AppendBlock, const="firmware", metavar="ADDR:DATA")
    build.add_argument("--info", action=_AppendBlock, const="info",
                       metavar="build=B,version=V,serial=S,model=M[,size=N]",
                       help="serial 0x... is written as %%08X, other text verbatim")
    build.add_argument("--serial-offsets", action=_AppendBlock, const="serial-offsets",
                       metavar="SERIAL[:DESCRIPTOR]")
    build.add_argument("--start", action=_AppendBlock, const="start", metavar="ADDR")
    build.add_argument("--raw", action=_AppendBlock, const="raw", metavar="TYPEFLAGS:DATA",
                       help="any block from its raw type/flags byte")
    build.add_argument("--fingerprint", metavar="W0,W1,W2,W3",
                       help="encode the firmware images as a recovery image for this chip")
    build.add_argument("--count", type=parse_int, help="reported block count")
    build.add_argument("--checksum", type=parse_int, help="checksum value")
    build.add_argument("--no-checksum", action="store_true", help="leave the checksum out")
    build.add_argument("--trailing", metavar="DATA", help="bytes after the checksum")
    build.add_argument("--truncate-list", type=parse_int, metavar="N",
                       help="cut the block list to N bytes before compressing")
    build.add_argument("--signature", default="bird", help="signature text, or hex:HEX")
    build.add_argument("--format-version", type=parse_int, default=FORMAT_VERSION)
    build.add_argument("--corrupt-zlib", choices=CORRUPTIONS)
    build.add_argument("--payload", metavar="DATA", help="bytes after the header instead of the zlib stream")
    build.add_argument("--truncate-file", type=parse_int, metavar="N", help="cut the file to N bytes")
    build.set_defaults(handler=cmd_build)

    dump = sub.add_parser("dump", help="print a bird file's structure (exit 2 when it has problems)")
    dump.add_argument("input", help="bird file, - for stdin")
    dump.add_argument("--json", action="store_true")
    dump.add_argument("--data", action="store_true", help="include block data (hex)")
    dump.add_argument("--fingerprint", metavar="W0,W1,W2,W3", help="decode the recovery image first")
    dump.set_defaults(handler=cmd_dump)

    for name, decode in (("encode", False), ("decode", True)):
        tool = sub.add_parser(name, help="%s firmware images for a chip fingerprint" % name)
        tool.add_argument("input")
        tool.add_argument("-o", "--output", required=True)
        tool.add_argument("--fingerprint", required=True, metavar="W0,W1,W2,W3")
        tool.set_defaults(handler=lambda args, decode=decode: cmd_transcode(args, decode))
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.handler(args)
    except (ValueError, OSError) as error:
        sys.stderr.write("mkbird: %s\n" % error)
        return 1


if __name__ == "__main__":
    sys.exit(main())
