"""The BSON standard's public test corpus, read through get.

Valid documents of the element types we map read back as an independent decoder (pymongo's
`bson`) reads them; every document a decoder must refuse, and every valid document holding a
kind we do not map, makes get raise tarnel.Error.
"""

import datetime as dt
import json
import pathlib
import struct

import bson
import pytest

import tarnel
from conftest import read_foreign

CORPUS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "bson-corpus"
MAPPED = (type(None), bool, int, float, str, bytes, dt.datetime, dict, list)


def cases(section):
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"no BSON corpus at {CORPUS}"))]
    out = []
    for f in sorted(CORPUS.glob("*.json")):
        suite = json.loads(f.read_text())
        for case in suite.get(section, []):
            raw = case["canonical_bson"] if section == "valid" else case["bson"]
            out.append(pytest.param(bytes.fromhex(raw), id=f"{f.stem}: {case['description']}"))
    return out


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """`store(raw)`: raw stored under key 1 of a file database, read back with get."""
    path = tmp_path_factory.mktemp("corpus") / "db"
    return lambda raw: read_foreign(path, raw)


# Element types whose values we map (on disk, never change).
MAPPED_KINDS = {0x01, 0x02, 0x03, 0x04, 0x05, 0x08, 0x09, 0x0A, 0x10, 0x12}


def kinds(raw, pos=4, end=None):
    """Element types of a well-formed BSON document, at every depth."""
    end = len(raw) - 1 if end is None else end
    word = lambda p: struct.unpack_from("<i", raw, p)[0]
    while pos < end:
        kind = raw[pos]
        yield kind
        pos = raw.index(b"\x00", pos + 1) + 1
        if kind in (0x03, 0x04):
            yield from kinds(raw, pos + 4, pos + word(pos) - 1)
            pos += word(pos)
        elif kind in (0x02, 0x0D, 0x0E):
            pos += 4 + word(pos)
        elif kind == 0x05:
            pos += 5 + word(pos)
        elif kind == 0x0B:
            pos = raw.index(b"\x00", raw.index(b"\x00", pos) + 1) + 1
        elif kind == 0x0C:
            pos += 4 + word(pos) + 12
        elif kind == 0x0F:
            pos += word(pos)
        else:
            pos += {0x01: 8, 0x07: 12, 0x08: 1, 0x09: 8, 0x10: 4, 0x11: 8, 0x12: 8, 0x13: 16}.get(kind, 0)


def plain(value):
    """pymongo's reading in our terms: its int and bytes subclasses as plain values, a DBRef as
    the document it was read from."""
    if isinstance(value, bson.DBRef):
        value = dict(value.as_doc())
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    if isinstance(value, bytes):
        return bytes(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return int(value)
    assert isinstance(value, MAPPED), type(value)
    return value


def same(a, b):
    if isinstance(a, float) and a != a:
        return isinstance(b, float) and b != b
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same, a, b))
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("raw", cases("valid"))
def test_valid(store, raw):
    if not set(kinds(raw)) <= MAPPED_KINDS:
        with pytest.raises(tarnel.Error, match=r"^unexpected BSON element .* in stored document$"):
            store(raw)
        return
    opts = bson.CodecOptions(tz_aware=True, datetime_conversion=bson.DatetimeConversion.DATETIME_AUTO)
    theirs = bson.decode(raw, codec_options=opts)
    if any(isinstance(v, bson.DatetimeMS) for v in theirs.values()):
        # an instant that datetime cannot hold: fromtimestamp's own exception
        with pytest.raises(ValueError, match="out of range"):
            store(raw)
        return
    assert same(store(raw), plain(theirs))


@pytest.mark.parametrize("raw", cases("decodeErrors"))
def test_decode_errors(store, raw):
    with pytest.raises(tarnel.Error):
        store(raw)
