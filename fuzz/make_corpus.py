#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the hand-made starting corpus of both fuzzers (fuzz/corpus/link, fuzz/corpus/codecs).

Run from anywhere; it rewrites the files it owns and leaves others alone. The link inputs
follow the operation list of LinkDriver.hpp."""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent

# Operations of LinkDriver.hpp.
def notify(*data):
    data = bytes(data)
    assert len(data) < 256
    return bytes([0, len(data)]) + data

def notify_repeated(times, *data):  # 2 to 32 times
    data = bytes(data)
    assert len(data) < 256 and 2 <= times <= 32
    return bytes([3, len(data)]) + data + bytes([times - 2])

def wait(seconds):
    return bytes([4, int(seconds * 4)])

SCAN = bytes([5])
def write_contact(matching=True):
    return bytes([6, 1 if matching else 0])
CONNECT = bytes([7])
DISCONNECT = bytes([8])
def adapter(state):
    return bytes([9, state])
DISCOVER = bytes([10])
def complete_connect(ok=True):
    return bytes([11, 0 if ok else 1])
def services(variant):
    return bytes([12, variant])
def characteristics(variant):
    return bytes([13, variant])
DISCONNECTED = bytes([14])
def delegate(present):
    return bytes([15, 1 if present else 0])
INIT = bytes([16])
HANDSHAKE = bytes([17])
UPLOAD = bytes([18])

NO_IMAGE = bytes([0])
SHORT_IMAGE = bytes([1 + 4 * 3])
def image_slices(extra):  # an image of 16 + 7 * extra bytes
    return bytes([2 + 4 * extra])

VERSION = notify(0x87, *b"KX100-M 2.4", 0x00)
CURRENT = notify(0x84, 0x00, 0x01)
BATTERY = notify(0x8E, 0x43, 0x00)
CONNECTED = HANDSHAKE + VERSION + CURRENT + BATTERY

FDXB = (0x88, 0x04, 0x03, 0xE7, 0x39, 0x30, 0x00, 0x00, 0x00)
HDX = (0x8F, 0x01, 0x00, 0x7C, 0xD2, 0x04, 0x00, 0x00, 0x00)
CONTACT = (0x10, 0x00, 0x1E, 0x89, 0xBC, 0x91, 0x20, 0x16, 0x72, 0x52, 0xEA, 0xBC, 0x51,
           0xFF, 0x30, 0x4E, 0x0C, 0x7C, 0x50, 0xB8, 0x07, 0x56, 0x2F, 0xF8, 0xB2)
TEXT = (0x55, *b"FDXB    999 000000012345", *b"\r\n\x00\x00\x00\x00")
def export(n):
    return (0xAA, *f"{n:03d}".encode(), 0x00, 0x00, *TEXT)

LINK = {
    "handshake": NO_IMAGE + HANDSHAKE,
    "connected_idle": NO_IMAGE + CONNECTED + wait(10) + notify(0x80) + wait(3),
    "uart_service": NO_IMAGE + INIT + CONNECT + DISCOVER + complete_connect() + services(1)
    + characteristics(1) + notify(0x80),
    "bad_answer": NO_IMAGE + INIT + CONNECT + DISCOVER + complete_connect() + services(0)
    + characteristics(0) + notify(0x7F) + DISCONNECTED,
    "scan_fdxb_contact": NO_IMAGE + CONNECTED + SCAN + notify(*FDXB[:4]) + notify(*FDXB[4:])
    + notify(*CONTACT[:20]) + notify(*CONTACT[20:]),
    "scan_fdxb_no_contact": NO_IMAGE + CONNECTED + SCAN + notify(*FDXB) + notify(0x7E),
    "scan_timeouts": NO_IMAGE + CONNECTED + SCAN + wait(22) + SCAN + notify(*FDXB) + wait(22),
    "scan_hdx": NO_IMAGE + CONNECTED + notify(*HDX) + SCAN + notify(0x7E),
    "text_and_status": NO_IMAGE + CONNECTED + notify(0x55, *b"QX,SB", 0x8F, 0x01)
    + notify(*TEXT[:10]) + notify(*TEXT[10:]) + notify(0x55, *b"QX,SE"),
    "exports": NO_IMAGE + CONNECTED + notify(*export(1), *export(2), *export(3)[:10])
    + notify(*export(3)[10:]),
    "contact_write": NO_IMAGE + CONNECTED + write_contact() + notify(*FDXB) + notify(0x11, 0x00),
    "contact_write_twice": NO_IMAGE + CONNECTED + write_contact() + write_contact(False)
    + notify(*FDXB) + wait(22) + write_contact(False) + notify(*FDXB),
    "contact_write_lost": NO_IMAGE + CONNECTED + write_contact() + DISCONNECTED + wait(30),
    "upload_none": NO_IMAGE + HANDSHAKE + UPLOAD + BATTERY,
    "upload_short": SHORT_IMAGE + HANDSHAKE + UPLOAD + BATTERY,
    "upload_full": image_slices(23) + HANDSHAKE + UPLOAD + notify(0x81) + notify(0x82)
    + notify(0x82) + notify(0x82) + notify(0x83) + BATTERY,
    "upload_slice_refused": image_slices(30) + HANDSHAKE + UPLOAD + notify(0x81) + notify(0x82)
    + notify(0x80) + notify(0x83) + BATTERY,
    "upload_interrupted": image_slices(12) + HANDSHAKE + UPLOAD + notify(0x81) + DISCONNECTED
    + HANDSHAKE + UPLOAD + notify(0x81),
    "adapter_off_while_connected": image_slices(5) + HANDSHAKE + UPLOAD + adapter(4)
    + adapter(5) + CONNECT,
    "version_never_ends": NO_IMAGE + HANDSHAKE + notify_repeated(24, 0x87, *([0x41] * 200)),
    "delegate_removed": NO_IMAGE + delegate(False) + CONNECTED + SCAN + notify(*FDXB)
    + wait(22) + delegate(True) + SCAN,
}

CODECS = {
    "contact_0123_ab": bytes(CONTACT[1:]),
    "contact_empty": bytes.fromhex("62618C9388D3F336C2C48257916FCE0C7CB13EDAB8E89690"),
    "contact_bad_checksum": bytes(CONTACT[1:18]) + bytes([CONTACT[18] ^ 1]) + bytes(CONTACT[19:]),
    "zeros_24": bytes(24),
    "ones_24": bytes([0xFF] * 24),
    "texts_plus_phone": bytes([9]) + b"+49 170 12joe.doe@example.com",
    "texts_long": bytes([14]) + b"00000000000000" + b"x" * 40,
    "packed_fdxb": bytes(FDXB),
    "packed_max": bytes([0x8F, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01]),
    "text_scan": bytes(TEXT),
    "text_scan_latin1": bytes([0x55]) + b"\xa0FDXB\xa0\xa0\xa0" + bytes(range(0x80, 0x98)),
    "export": bytes(export(42)),
    "export_signed": bytes([0xAA]) + b"-7\x00" + bytes(34),
    "version": bytes([0x87]) + b"KESTRALON KX100 MOBILE 2.4\x00",
    "fe_payload": bytes([0xFE, 0x00, 0xFE, 0xFE, 0x01, 0xFE]),
    "utf8_mixed": "é€😀".encode() + b"\xc3\x28\xed\xa0\x80\xf4\x90\x80\x80",
    "empty": b"",
}

def write(directory, entries):
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in entries.items():
        (directory / name).write_bytes(data)

if __name__ == "__main__":
    write(HERE / "corpus" / "link", LINK)
    write(HERE / "corpus" / "codecs", CODECS)
