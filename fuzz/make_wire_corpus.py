#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets for wire replies from the simulators' traffic.

    /usr/bin/python3 fuzz/make_wire_corpus.py

The simulators' protocol logic (sim/halyard_module.py, sim/lpc_rom.py, sim/imx_sdp.py, the
discovery reply of sim/module_sim.py) is fed what the program sends in typical sessions, and what
it answers is written in each target's input layout (described at the top of each
fuzz/fuzz_<target>.cpp), so that the fuzzers start from real conversations. Output:
fuzz/corpus/<target>/ for fuzz_link_reader, fuzz_uei_reply, fuzz_discovery_reply,
fuzz_lpc_reply and fuzz_sdp_reply (existing seeds of the same name are replaced).
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sim"))

import halyard_module  # noqa: E402
import imx_sdp  # noqa: E402
import lpc_rom  # noqa: E402

SYNC_PATTERN = bytes([0xAD, 0x00] * 6)
LINK_START = bytes([0xAF, 0x01, 0x01])
MAGIC_QUERY = bytes([0xAD, 0x00])


def frame(address, data):
    return bytes([address, len(data)]) + bytes(data)


# ---- modules: link byte streams and UEI replies --------------------------------------------------

class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def module_session(**settings):
    module = halyard_module.HalyardModule("0F5849A1", 19, 2, "2.1.5", 99519470, **settings)
    sent = []
    session = halyard_module.ModuleSession(module, sent.append, lambda reset=True: None, clock=Clock())
    return module, session, sent


UEI_REQUESTS = [
    bytes([0x03, 0x49, 0x20]),        # serial number
    bytes([0x03, 0x48, 0x20]),        # model
    bytes([0x03, 0x47, 0x20]),        # version
    bytes([0x03, 0x41, 0x20]),        # module address
    bytes([0x03, 0x42, 0x20]),        # router address
    bytes([0x03, 0x67, 0x20, 0x02]),  # unique identifier word 2
    bytes([0x03, 0x94, 0x20, 0x01]),  # routeToMe(1)
    bytes([0x03, 0x7E, 0x20]),        # unknown option: error reply
    bytes([0x03, 0x49, 0x21]),        # index 1: error reply
    bytes([0x49, 0xFF]),              # build number
]

UPGRADE_REQUESTS = [
    bytes([0x5F, 0x00]),                          # INIT
    bytes([0x5F, 0x03, 0x00, 0x10, 0, 0, 0]),     # PREPARE
    bytes([0x5F, 0x01]) + bytes(range(26)),       # DATA
    bytes([0x5F, 0x04]),                          # SUM
]


def module_stream():
    """What a module sends during a session: sync answers, magic, replies and heartbeats."""
    module, session, sent = module_session()
    session.feed(SYNC_PATTERN + LINK_START + MAGIC_QUERY)
    for request in UEI_REQUESTS[:3]:
        session.feed(frame(2, request))
        session.send_heartbeat()
        session.feed(frame(2, bytes([0x00, 0x02])))
    for request in UEI_REQUESTS[3:] + UPGRADE_REQUESTS:
        session.feed(frame(2, request))
    session.send_heartbeat()
    return b"".join(sent)


def link_reader_seeds():
    stream = module_stream()
    garbage = bytes([0xAD, 0x1F, 0x00, 0x02, 0x40, 0x05])
    module, session, sent = module_session()
    session.feed(SYNC_PATTERN)
    resync = garbage + b"".join(sent) + stream
    return {
        "session-in-pieces-of-32": bytes([0x1F]) + stream,
        "session-byte-by-byte": bytes([0x00]) + stream,
        "session-user-filter": bytes([0x2B]) + stream,
        "session-broken-connection": bytes([0x47]) + stream,
        "session-failed-reads": bytes([0x8F]) + stream,
        "garbage-then-resync": bytes([0x1F]) + resync,
    }


def uei_seed(request, others=b""):
    """Request header (address, command, reply option, index) and the module's reply on the wire."""
    module, session, sent = module_session()
    session.feed(frame(2, request))
    command, option, specifier = request[0], request[1], request[2]
    set_reply = 0x40 if option & 0x80 else 0
    header = bytes([2, command, (option & 0x3F) | set_reply, specifier & 0x1F])
    return header + others + b"".join(sent)


def uei_seeds():
    heartbeat = frame(2, bytes([0x00, 0x01]))
    other_reply = frame(2, bytes([0x03, 0x08, 0x00, 0x13]))
    seeds = {}
    for number, request in enumerate(UEI_REQUESTS[:-1]):
        seeds["reply-%d" % number] = uei_seed(request)
        seeds["reply-%d-among-others" % number] = uei_seed(request, heartbeat + other_reply + other_reply)
    return seeds


# ---- discovery ----------------------------------------------------------------------------------

def discovery_reply(address, port, serial, version, model):
    """As sim/module_sim.py answers a discovery request."""
    return bytes([2, address]) + port.to_bytes(2, "little") + serial.to_bytes(4, "little") \
        + version.to_bytes(4, "little") + bytes([model, 0, 0, 0])


def discovery_seeds():
    version = halyard_module.parse_version("2.1.5")
    replies = [discovery_reply(2, 0x221F, 0xD272031D, version, 10),
               discovery_reply(4, 38465, 0x0F5849A1, version, 19),
               discovery_reply(2, 40000, 0x11111111, version, 13)]
    take, stop = 0x40, 0x80

    def window(items):
        return bytes([0]) + b"".join(bytes([flags | len(data)]) + data for flags, data in items)

    return {
        "one-module": window([(take, replies[0])]),
        "three-modules": window([(take, r) for r in replies]),
        "short-and-long": window([(take, replies[1][:12]), (take, replies[2] + b"\xAA\xBB"), (0, b"\x02")]),
        "same-module-twice": window([(take, replies[0]), (take, replies[0])]),
        "stop-after-first": window([(take | stop, replies[0]), (take, replies[1])]),
        "usb-serial-strings": bytes([1]) + b"".join(bytes([len(t)]) + t for t in
                                                    (b"0F5849A1", b"0f5849a1", b"0F5849A", b"0F5849G1")),
    }


# ---- LPC boot ROM -------------------------------------------------------------------------------

def piece(data):
    if len(data) < 0x80:
        return bytes([len(data)]) + data
    return bytes([0x80 | len(data) >> 8, len(data) & 0xFF]) + data


class LpcSession:
    """Plays the client's writes into the simulated chip and records its answer to each."""

    def __init__(self, faults=None):
        self.out = bytearray()
        self.chip = lpc_rom.IspChip(lambda data, delay: self.out.extend(data), faults or lpc_rom.Faults())
        self.seed = bytearray([6])  # 115200 baud

    def write(self, text):
        self.out.clear()
        self.chip.feed(text.encode("ascii") if isinstance(text, str) else text)
        self.seed += piece(bytes(self.out))
        return bytes(self.out)

    def command(self, code, *writes, extra=b""):
        self.seed += bytes([code]) + extra
        return [self.write(text) for text in writes]

    def sync(self):
        self.command(0, "?", "Synchronized\r\n", "14746\r\n")

    def write_image(self, argument, n):
        size = (n + 1) * 4 * ((argument & 3) + 1)
        image = bytes(((i * 2654435761) >> 13) & 0xFF for i in range(size))
        self.seed += bytes([6 | argument << 4, n])
        self.write("W %d %d\r\n" % (0x10001000, size))
        written = acknowledged = lines = 0
        while written < size:
            chunk = image[written:written + 45]
            self.write(lpc_rom.uu_encode_line(chunk))
            written += len(chunk)
            self.write("\r\n")
            lines += 1
            if lines < 20 and written < size:
                continue
            answer = self.write("%d\r\n" % sum(image[acknowledged:written]))
            if answer.endswith(b"RESEND\r\n"):
                written = acknowledged
            else:
                acknowledged = written
            lines = 0

    @staticmethod
    def group_matches(answer):
        """Whether the data lines of a group add up to the checksum line that ends it."""
        lines = [line for line in answer.split(b"\r\n") if line]
        total = 0
        for line in lines[:-1]:
            count = (line[0] - 0x20) & 0x3F
            if len(line) == 1 + 4 * -(-count // 3):
                total += sum(lpc_rom.uu_decode_line(line))
        return lines and lines[-1].isdigit() and int(lines[-1]) == total

    def read(self, n):
        count = (n + 1) * 4
        self.seed += bytes([12, n])
        answer = self.write("R 0 %d\r\n" % count)
        received = 0
        while received < count:
            if self.group_matches(answer):
                received += min(count - received, 45 * 20)
                answer = self.write("OK\r\n")
            else:
                answer = self.write("RESEND\r\n")


def lpc_seeds():
    seeds = {}
    full = LpcSession()
    full.sync()
    full.command(1, "N\r\n")
    full.command(2, "U 23130\r\n")
    full.command(3, "P 0 29\r\n", extra=bytes([29]))
    full.command(4, "E 0 29\r\n", extra=bytes([29]))
    full.write_image(0, 224)   # 900 bytes: one checksum after line 20
    full.command(3, "P 0 0\r\n", extra=bytes([0]))
    full.command(7, "C 0 268439552 256\r\n", extra=bytes([0]))
    full.command(9, "K\r\n")
    full.command(10, "J\r\n")
    full.read(15)
    full.command(8 | 0 << 4, "G 0 T\r\n")
    seeds["session-echo-on"] = bytes(full.seed)

    quiet = LpcSession()
    quiet.sync()
    quiet.command(5, "A 0\r\n")
    quiet.command(1, "N\r\n")
    quiet.command(2, "U 23130\r\n")
    quiet.command(3, "P 0 29\r\n", extra=bytes([29]))
    quiet.write_image(0, 225)  # 904 bytes: a 21st line and a second checksum
    quiet.read(63)
    quiet.command(5 | 1 << 4, "A 1\r\n")
    seeds["session-echo-off"] = bytes(quiet.seed)

    faults = lpc_rom.Faults()
    faults.apply(["resend", "2"])
    faults.apply(["read-checksum", "1"])
    resend = LpcSession(faults)
    resend.sync()
    resend.command(5, "A 0\r\n")
    resend.write_image(0, 30)
    resend.read(30)
    seeds["checksums-rejected"] = bytes(resend.seed)

    refused = LpcSession()
    refused.sync()
    refused.command(4 | 5 << 4, "E 5 34\r\n", extra=bytes([29]))
    refused.command(7 | 1 << 4, "C 4096 268439552 512\r\n", extra=bytes([1]))
    seeds["commands-refused"] = bytes(refused.seed)
    seeds["uu-lines"] = bytes([6, 15, 45]) + bytes(range(45)) + bytes([15, 3, 0, 0, 0])
    return seeds


# ---- i.MX boot ROM ------------------------------------------------------------------------------

def sdp_command(kind, address=0, fmt=0, count=0):
    return struct.pack(">BBIBII", kind, kind, address, fmt, count, 0) + b"\0"


def serial_read(replies):
    data = b"".join(payload for _, payload in replies)
    return bytes([min(len(data), 255)]) + data[:255]


def hid_read(reports):
    out = b""
    for report in reports:
        out += bytes([len(report)]) + report
    return out + b"\0"


def sdp_session(hid, operation, image_size=0):
    """The seed: mode byte, image size byte, then the ROM's reply to every read the loader makes."""
    rom = imx_sdp.SdpRom(hid=hid)

    def exchange(kind, payload):
        if hid:
            replies = rom.command(payload) if kind == 1 else rom.data(payload)
            return [bytes([rid]) + data for rid, data in replies if rid != imx_sdp.RAW]
        return rom.feed(payload)

    def read(replies):
        return hid_read(replies) if hid else serial_read(replies)

    mode = (1 if hid else 0) | operation << 1 | (image_size % 32) << 3
    seed = bytes([mode, image_size // 32])
    seed += read(exchange(1, sdp_command(imx_sdp.CMD_ERROR_STATUS)))
    if operation == 1:
        for register in (imx_sdp.FINGERPRINT_LOW_ADDRESS, imx_sdp.FINGERPRINT_HIGH_ADDRESS):
            seed += read(exchange(1, sdp_command(imx_sdp.CMD_READ_REGISTER, register, 0x20, 4)))
        return seed
    if operation == 2:
        return bytes([mode, 0]) + read(exchange(1, sdp_command(imx_sdp.CMD_JUMP_ADDRESS, 0x20209000)))
    pending = exchange(1, sdp_command(imx_sdp.CMD_WRITE_FILE, 0x20209000, 0x20, image_size))
    image = bytes((i * 13 + 7) & 0xFF for i in range(image_size))
    for at in range(0, image_size, 1024):
        seed += read(pending) if pending else (b"\0" if hid else b"\0")
        pending = exchange(2, image[at:at + 1024])
    return seed + read(pending)


def sdp_seeds():
    seeds = {}
    for hid in (False, True):
        name = "hid" if hid else "serial"
        seeds[name + "-write-2500"] = sdp_session(hid, 0, 2500)
        seeds[name + "-write-100"] = sdp_session(hid, 0, 100)
        seeds[name + "-fingerprint"] = sdp_session(hid, 1)
        seeds[name + "-jump"] = sdp_session(hid, 2)
    return seeds


def write(directory, files):
    os.makedirs(directory, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as handle:
            handle.write(data)


def main():
    corpus = os.path.join(HERE, "corpus")
    write(os.path.join(corpus, "fuzz_link_reader"), link_reader_seeds())
    write(os.path.join(corpus, "fuzz_uei_reply"), uei_seeds())
    write(os.path.join(corpus, "fuzz_discovery_reply"), discovery_seeds())
    write(os.path.join(corpus, "fuzz_lpc_reply"), lpc_seeds())
    write(os.path.join(corpus, "fuzz_sdp_reply"), sdp_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
