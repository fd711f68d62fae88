# SPDX-License-Identifier: Apache-2.0
"""The records and the contact codec give what the C++ library gives."""

from __future__ import annotations

import json
import subprocess

import pytest

import orvex

CONTACTS = [
    pytest.param("+44 7946 0001", "OWNER@EXAMPLE.COM", id="plus-and-upper-case"),
    pytest.param("0123 456 7890", "A@B.C", id="no-plus-short-email"),
    pytest.param("", "", id="empty-texts"),
    pytest.param("+1", "lower.case@example.org", id="lower-case-email"),
    pytest.param("+44 7946 0001 999", "X" * 40, id="texts-longer-than-fields"),
    pytest.param("12ab", "ÄÖ@É.COM", id="characters-outside-the-alphabets"),
]


@pytest.mark.parametrize("phone,email", CONTACTS)
def test_encode_gives_the_record_the_tool_prints(cli, phone, email):
    printed = subprocess.run(
        [str(cli), "contact", "encode", "--", phone, email],
        check=True, capture_output=True, text=True,
    ).stdout
    assert orvex.Contact.encode(phone, email) == bytes.fromhex(printed)


@pytest.mark.parametrize("phone,email", CONTACTS)
def test_decode_reads_what_the_tool_reads(cli, phone, email):
    record = orvex.Contact.encode(phone, email)
    printed = subprocess.run(
        [str(cli), "contact", "decode", record.hex(" ")],
        check=True, capture_output=True, text=True,
    ).stdout
    assert orvex.Contact.decode(record) == orvex.Contact(**json.loads(printed))


def test_a_known_record_decodes_to_padded_texts():
    record = bytes.fromhex("A6 C3 FC 5A 11 2F D0 3F 23 25 F2 8E 81 34 EB 80 7C 2B AD 27 C1 64 AF 11")
    contact = orvex.Contact.decode(record)
    assert contact == orvex.Contact("+44 7946 0001", "OWNER@EXAMPLE.COM        ")
    assert contact.email == contact.name


def test_decode_accepts_any_bytes_like_input_and_leaves_it_alone():
    record = bytearray(orvex.Contact.encode("+44 7946 0001", "A@B.C") + b"extra")
    original = bytes(record)
    assert orvex.Contact.decode(record) == orvex.Contact.decode(memoryview(record))
    assert orvex.Contact.decode(record).phone == "+44 7946 0001"
    assert record == original  # the C++ codec clears checksum bits of its own copy only


def test_a_record_failing_its_checksum_decodes_to_none():
    record = bytearray(orvex.Contact.encode("+44 7946 0001", "A@B.C"))
    record[3] ^= 0x01
    assert orvex.Contact.decode(bytes(record)) is None


@pytest.mark.parametrize(
    "data,error",
    [
        pytest.param(b"", ValueError, id="empty"),
        pytest.param(bytes(23), ValueError, id="one-byte-short"),
        pytest.param("A6 C3 FC", TypeError, id="text-not-bytes"),
        pytest.param(None, TypeError, id="none"),
        pytest.param(24, TypeError, id="a-number"),
    ],
)
def test_decode_rejects_what_is_not_a_record(data, error):
    with pytest.raises(error):
        orvex.Contact.decode(data)


@pytest.mark.parametrize(
    "message",
    [
        pytest.param("88 04 03 E7 39 30 00 00 00", id="fdxb"),
        pytest.param("88 01 00 7C D2 04 00 00 00", id="hdx"),
        pytest.param("88 09 03 E8 FF FF FF FF FF", id="out-of-range-type-and-country"),
    ],
)
def test_packed_scans_decode_like_the_tool_decodes_them(cli, message):
    printed = json.loads(
        subprocess.run([str(cli), "decode", message], check=True, capture_output=True,
                       text=True).stdout
    )
    xpdr = orvex.ScanResult.from_packed(bytes.fromhex(message)).scan.xpdr
    assert (xpdr.id, xpdr.type, xpdr.type_name) == (printed["id"], printed["type"], printed["typeName"])


def test_a_short_packed_scan_is_rejected():
    with pytest.raises(ValueError):
        orvex.ScanResult.from_packed(bytes(8))


class TestRecordsAreValues:
    def test_equal_content_means_equal_records_and_equal_hashes(self):
        a = orvex.ScanResult(orvex.Scan(orvex.Transponder("999 000000012345", 4), 5.0),
                             orvex.Contact("+1", "A"))
        b = orvex.ScanResult(orvex.Scan(orvex.Transponder("999 000000012345", 4), 5.0),
                             orvex.Contact("+1", "A"))
        assert a == b and hash(a) == hash(b)
        assert len({a, b}) == 1

    @pytest.mark.parametrize(
        "other",
        [
            pytest.param(orvex.Transponder("999 000000012345", 1), id="type"),
            pytest.param(orvex.Transponder("999 000000012346", 4), id="id"),
            pytest.param("FDXB: 999 000000012345", id="not-a-record"),
        ],
    )
    def test_a_difference_makes_them_unequal(self, other):
        assert orvex.Transponder("999 000000012345", 4) != other

    def test_a_missing_part_differs_from_a_present_one(self):
        scan = orvex.Scan(orvex.Transponder("1", 4))
        assert orvex.ScanResult(scan, None) != orvex.ScanResult(scan, orvex.Contact("", ""))

    def test_repr_and_str_read_well(self):
        xpdr = orvex.Transponder("999 000000012345", 4)
        assert str(xpdr) == "FDXB: 999 000000012345"
        assert repr(xpdr) == "Transponder(id='999 000000012345', type=4, type_name='FDXB')"
        assert repr(orvex.ScanResult(orvex.Scan(None, 1.5))) == (
            "ScanResult(scan=Scan(xpdr=None, date=1.5), contact=None)"
        )

    @pytest.mark.parametrize("raw,name", [(0, "UNKNOWN"), (6, "EM4102"), (7, "UNKNOWN"), (-1, "UNKNOWN")])
    def test_type_names_follow_the_raw_value(self, raw, name):
        assert orvex.Transponder("x", raw).type_name == name

    def test_records_cannot_be_changed(self):
        with pytest.raises(AttributeError):
            orvex.Contact("+1", "A").phone = "+2"
