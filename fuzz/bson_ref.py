"""A strict reference reader of BSON for the fuzz targets, written from the BSON format.

`read(raw)` gives the dict that a stored document must read back as, or raises Refused
(tarnel.Error expected; `message` set when its exact text is fixed) or the exception of the
datetime module for an instant that `datetime` cannot hold. Elements are checked in stored
order, each when the walk reaches it, so the first fault in that order decides.
"""

import datetime as dt
import struct

UTC = dt.timezone.utc
UNSUPPORTED = {
    0x06: "Undefined", 0x07: "ObjectId", 0x0B: "RegularExpression", 0x0C: "DbPointer",
    0x0D: "JavaScriptCode", 0x0E: "Symbol", 0x0F: "JavaScriptCodeWithScope",
    0x11: "Timestamp", 0x13: "Decimal128", 0x7F: "MaxKey", 0xFF: "MinKey",
}
MAX_DEPTH = 100


class Refused(Exception):
    def __init__(self, message=None):
        super().__init__(message)
        self.message = message


def frame_error(raw):
    if len(raw) < 5:
        return "document too short"
    if struct.unpack_from("<I", raw)[0] != len(raw):
        return "document length incorrect"
    if raw[-1] != 0:
        return "document not null-terminated"
    return None


def ms_to_datetime(ms):
    secs, rem = divmod(ms, 1000)
    return dt.datetime.fromtimestamp(secs, UTC).replace(microsecond=rem * 1000)


class _Reader:
    def __init__(self, raw):
        self.raw = raw

    def int32(self, at, end):
        if at + 4 > end:
            raise Refused()
        return struct.unpack_from("<i", self.raw, at)[0]

    def cstring(self, at, end):
        stop = self.raw.find(b"\x00", at, end)
        if stop < 0:
            raise Refused()
        return self.raw[at:stop], stop + 1

    def string(self, at, end):
        """Body of a length-prefixed string and the offset after it."""
        n = self.int32(at, end)
        if n < 1 or at + 4 + n > end or self.raw[at + 4 + n - 1] != 0:
            raise Refused()
        return self.raw[at + 4:at + 4 + n - 1], at + 4 + n

    def embedded(self, at, end):
        n = self.int32(at, end)
        if n < 5 or at + n > end or self.raw[at + n - 1] != 0:
            raise Refused()
        return at + n

    def text(self, body):
        try:
            return body.decode("utf-8")
        except UnicodeDecodeError:
            raise Refused() from None

    def document(self, start, end, depth, as_list):
        """Elements between start (after the length) and end (the final zero byte)."""
        out = [] if as_list else {}
        at = start
        while at < end:
            kind = self.raw[at]
            name, at = self.cstring(at + 1, end)
            if not as_list:
                name = self.text(name)
            value, at = self.value(kind, at, end, depth)
            if as_list:
                out.append(value)
            else:
                out[name] = value
        return out

    def value(self, kind, at, end, depth):
        raw = self.raw

        def fixed(n):
            if at + n > end:
                raise Refused()
            return at + n

        if kind == 0x01:
            nxt = fixed(8)
            return struct.unpack_from("<d", raw, at)[0], nxt
        if kind == 0x02:
            body, nxt = self.string(at, end)
            return self.text(body), nxt
        if kind in (0x03, 0x04):
            nxt = self.embedded(at, end)
            if depth >= MAX_DEPTH:
                raise Refused()
            return self.document(at + 4, nxt - 1, depth + 1, kind == 0x04), nxt
        if kind == 0x05:
            n = self.int32(at, end)
            if n < 0 or at + 5 + n > end:
                raise Refused()
            if raw[at + 4] != 0x02:
                return raw[at + 5:at + 5 + n], at + 5 + n
            # The old binary subtype repeats the length inside; the data follow it.
            if n < 4 or self.int32(at + 5, end) != n - 4:
                raise Refused()
            return raw[at + 9:at + 5 + n], at + 5 + n
        if kind == 0x08:
            nxt = fixed(1)
            if raw[at] > 1:
                raise Refused()
            return raw[at] == 1, nxt
        if kind == 0x09:
            nxt = fixed(8)
            return ms_to_datetime(struct.unpack_from("<q", raw, at)[0]), nxt
        if kind == 0x0A:
            return None, at
        if kind == 0x10:
            nxt = fixed(4)
            return struct.unpack_from("<i", raw, at)[0], nxt
        if kind == 0x12:
            nxt = fixed(8)
            return struct.unpack_from("<q", raw, at)[0], nxt
        if kind in UNSUPPORTED:
            self.skip(kind, at, end)
            raise Refused("unexpected BSON element " + UNSUPPORTED[kind])
        raise Refused()

    def skip(self, kind, at, end):
        """Checks the framing of an unsupported element (its refusal names the kind only when
        the element itself is well formed)."""
        if kind in (0x06, 0x7F, 0xFF):
            return
        sizes = {0x07: 12, 0x11: 8, 0x13: 16}
        if kind in sizes:
            if at + sizes[kind] > end:
                raise Refused()
            return
        if kind == 0x0B:
            pattern, at = self.cstring(at, end)
            options, at = self.cstring(at, end)
            self.text(pattern), self.text(options)
            return
        if kind == 0x0C:
            ns, at = self.string(at, end)
            if at + 12 > end:
                raise Refused()
            self.text(ns)
            return
        if kind in (0x0D, 0x0E):
            self.text(self.string(at, end)[0])
            return
        # 0x0F: int32 total, string, document
        total = self.int32(at, end)
        if total < 14 or at + total > end:
            raise Refused()
        code, nxt = self.string(at + 4, at + total)
        if self.embedded(nxt, at + total) != at + total:
            raise Refused()
        self.text(code)


def read(raw):
    err = frame_error(raw)
    if err:
        raise Refused("BSON error. Kind: Malformed BSON bytes. Message: " + err + ".")
    return _Reader(raw).document(4, len(raw) - 1, 1, False)
