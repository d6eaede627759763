#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/corpus/<target>/). Run it again after
changing what a target reads; libFuzzer grows its own corpus from these in a scratch directory."""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def esp3(ptype, data, opt=b""):
    header = struct.pack(">HBB", len(data), len(opt), ptype)
    return b"\x55" + header + bytes([crc8(header)]) + data + opt + bytes([crc8(data + opt)])


def write(target, name, content):
    os.makedirs(os.path.join(HERE, target), exist_ok=True)
    with open(os.path.join(HERE, target, name), "wb") as f:
        f.write(content)


SUBTEL = bytes([0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x30, 0x00])
SENDER = bytes([0x01, 0x02, 0x03, 0x04])
TELEGRAMS = {
    "4bs": bytes([0xA5, 0x00, 0x7D, 0x7D, 0x0A]) + SENDER + b"\x00",
    "rps": bytes([0xF6, 0x30]) + SENDER + b"\x30",
    "1bs": bytes([0xD5, 0x09]) + SENDER + b"\x00",
    "vld": bytes([0xD2, 0x00, 0x12, 0x34]) + SENDER + b"\x00",
    "ute": bytes([0xD4, 0xA0, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x32, 0xD2]) + SENDER + b"\x00",
    "sec": bytes([0x32, 0xAA, 0xBB]) + SENDER + b"\x00",
    "secteach": bytes([0x35] + [0] * 14) + bytes([5, 6, 7, 8, 0]),
}

# EEP decoder: profile choice, then telegram data.
for i, (name, tel) in enumerate(TELEGRAMS.items()):
    write("eep", "profile%d-%s" % (i, name), bytes([i]) + tel)
write("eep", "own-text", bytes([12]) + b"A50401\x00" + TELEGRAMS["4bs"])

# ESP3 receiver: raw frames (option bit 0), frame descriptions, learning (bit 1), secure (bit 2).
frames = b"".join(esp3(0x01, tel, SUBTEL) for tel in TELEGRAMS.values())
write("esp3", "raw-telegrams", b"\x01" + frames)
write("esp3", "raw-response-and-noise", b"\x01" + b"\x00\x55\x13" + esp3(0x02, b"\x00") + esp3(0x05, b"\x09\x01"))
write("esp3", "raw-bad-crc-resync", b"\x01" + esp3(0x01, TELEGRAMS["4bs"])[:6] + b"\x55" + esp3(0x02, b"\x00"))
desc = b"".join(bytes([0x01, len(tel), len(SUBTEL)]) + tel + SUBTEL for tel in TELEGRAMS.values())
write("esp3", "described", b"\x00" + desc)
write("esp3", "described-learning", b"\x02" + desc)
write("esp3", "described-secure", b"\x04" + desc)

# IPC: kind byte (bit 7 le_EModbus, else bit 6 le_ExtAdc, else le_EnOcean; method*2, +1 for the
# answer's outputs), then the first input (le_ExtAdc GetValue's output mask) for answers.
def blob(b):
    return struct.pack("<I", len(b)) + b
write("ipc", "enocean-senddata", bytes([0, 0]) + b"\x05" + blob(b"\x09\x01") + blob(b"\x00"))
write("ipc", "enocean-deletesensor", bytes([2, 0]) + blob(b"E01020304"))
write("ipc", "enocean-addhandler-answer", bytes([7, 0]) + struct.pack("<Q", 0x1234))
write("ipc", "enocean-event", bytes([10, 0]) + struct.pack("<Q", 1) + b"\x01" + blob(TELEGRAMS["4bs"]) + blob(b"")
      + blob(b"") + blob(b"{}") + b"\x00")
write("ipc", "modbus-sendrequest", bytes([0x80, 0]) + blob(b"\x01\x03\x00\x00\x00\x08\x00\x00"))
write("ipc", "modbus-baud", bytes([0x80 + 4, 0]) + struct.pack("<I", 19200))
write("ipc", "extadc-getvalue", bytes([0x40 + 8, 0]) + struct.pack("<II", 7, 1))
write("ipc", "extadc-getvalue-answer", bytes([0x40 + 9, 7]) + struct.pack("<Hdd", 19200, 50.0, 12.0))
write("ipc", "extadc-getvalue-answer-percent", bytes([0x40 + 9, 2]) + struct.pack("<d", 50.0))
write("ipc", "extadc-path", bytes([0x40 + 6, 0]) + blob(b"/dev/i2c-5"))
write("ipc", "extadc-edges", bytes([0x40 + 18, 0]) + struct.pack("<Iddd", 1, 5.0, 15.0, 1.0))
write("ipc", "extadc-alert-event", bytes([0x40 + 33, 0]) + struct.pack("<QIIHdd", 1, 1, 2, 30720, 95.0, 19.2))

# Admin protocol.
write("admin", "requests", b"LIST\nGET\tsettings/number\nPUSH\tsettings/number\t7\nPUSH\tsettings/flag\ttrue\n"
      b"PUSH\tsettings/text\ta\\tb\\\\c\\n\nPUSH\tsettings/json\t{\"x\":1}\nPUSH\tsettings/trigger\n"
      b"GET\tnothing\nPUSH\tuc_input1/value\t3\nWATCH\tsettings/\n")
write("admin", "bad", b"PUSH\tsettings/number\tfour\nPUSH\t../x\t1\nGET\nPUSH\tsettings/text\tbad\\q\n\r\n")

# Registry file.
write("registry", "mixed", b"E01020304\nE0a0b0c0d\r\n  E0000000F \n\nbad line\nE01020304\ne00000001\n"
      b"E00" + b"\x00" + b"00001\nE000000b2")
write("registry", "plain", b"".join(b"E%08x\n" % i for i in range(1, 40)))

# Kept settings file.
write("settings", "kept", b"settings/a\tnumeric\t3\nsettings/b\tboolean\ttrue\nsettings/c\tstring\ta\\tb\n"
      b"settings/d\tjson\t{\"k\":[1,2]}\nsettings/addon_type\tnumeric\t4\n")
write("settings", "damaged", b"settings/a\tbogus\t1\n../x\tnumeric\t1\nsettings/b\tboolean\tmaybe\nno tabs\n"
      b"settings/a\tstring\tx\n")

# Modbus answers: option bit 0 appends the CRC; bits 1-2 choose the request (3, 5, 6).
read8 = bytes([0x01, 0x03, 0x10]) + bytes(range(16))
write("modbus", "read-crc-added", b"\x01" + read8)
full = read8 + struct.pack("<H", crc16(read8))
write("modbus", "read-raw", b"\x00" + full)
write("modbus", "coil-crc-added", b"\x03" + bytes([0x01, 0x05, 0x00, 0x02, 0xFF, 0x00]))
write("modbus", "register-crc-added", b"\x05" + bytes([0x01, 0x06, 0x00, 0x05, 0x12, 0x34]))
write("modbus", "exception", b"\x01" + bytes([0x01, 0x83, 0x02]))
write("modbus", "too-long", b"\x00" + bytes(300))

# The cloud link's outbox: sound records, a gone mark, a torn last line, a damaged checksum.
def outbox(body):
    return body + b"\t%08x\n" % zlib.crc32(body)


sound = (outbox(b"D\t0") + outbox(b"V\t1\tnumeric\t1000.5\tsensors/a/level\t3.25")
         + outbox(b"V\t2\tjson\t1000.75\tsensors/b/data\t{\"T\":1}\\n")
         + outbox(b"X\t3\tstring\t0\tsensors/c/data\t") + outbox(b"V\t4\ttrigger\t1001\tsettings/learn\t"))
write("outbox", "sound", sound)
write("outbox", "delivered", sound + outbox(b"D\t2"))
write("outbox", "torn", sound + outbox(b"V\t5\tnumeric\t1002\tx\t1")[:12])
write("outbox", "damaged", sound.replace(b"3.25", b"3.26") + outbox(b"V\t6\tnumeric\t1\ty\t2"))
write("outbox", "many", b"".join(outbox(b"V\t%d\tstring\t%d\tp\t%s" % (i, i, b"x" * 300)) for i in range(1, 80)))
# Rising numbers with a gap (a file written by hand): acknowledgements still find their entries.
first_value = outbox(b"V\t1\tnumeric\t1000.5\tsensors/a/level\t3.25")
write("outbox", "gap-in-seq", sound.replace(first_value, b"") + outbox(b"V\t6\tnumeric\t1\ty\t2"))
