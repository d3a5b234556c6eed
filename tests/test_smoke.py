import pytest

from support import decode, doc_hex, error


@pytest.mark.parametrize(
    "hex_doc, expected",
    [("0F 01 00", None), ("0F 01 02", True), ("0F 01 07 02 80 81", [0, 1])],
)
def test_small_documents_decode(hex_doc, expected):
    assert decode(doc_hex(hex_doc)) == expected


def test_bad_tag_reports_offset():
    assert error(doc_hex("0F 01 0E")) == ("bad tag 0x0e", 2)
