"""Faults the fuzz targets in fuzz/ found, each kept as a case here."""

import datetime as dt

import pytest

import tarnel

UTC = dt.timezone.utc


def tz(hours):
    return dt.timezone(dt.timedelta(hours=hours))


class TestDatetimeBeyondWhatReadsBack:
    """An instant outside years 1 to 9999 UTC was stored, and then every read of the document
    raised ValueError: put refuses it instead, and stores nothing."""

    @pytest.mark.parametrize(
        "value",
        [
            dt.datetime(9999, 12, 31, 23, 59, 59, 999500),  # rounds up to year 10000
            dt.datetime.max,
            dt.datetime(9999, 12, 31, 23, tzinfo=tz(-5)),
            dt.datetime(1, 1, 1, tzinfo=tz(5)),
            dt.datetime(1, 1, 1, 4, 59, 59, 999000, tzinfo=tz(5)),
        ],
        ids=str,
    )
    def test_refused(self, coll, value):
        coll.put(1, {"keep": 1})
        with pytest.raises(ValueError) as info:
            coll.put(1, {"a": [0, {"t": value}]})
        assert str(info.value) == "datetime outside 0001-01-01 to 9999-12-31 UTC at $.a[1].t"
        assert coll.get(1) == {"keep": 1}

    @pytest.mark.parametrize(
        "value,back",
        [
            (dt.datetime(9999, 12, 31, 23, 59, 59, 999400),
             dt.datetime(9999, 12, 31, 23, 59, 59, 999000, tzinfo=UTC)),
            (dt.datetime(1, 1, 1, 0, 0, 0, 499), dt.datetime(1, 1, 1, tzinfo=UTC)),
            (dt.datetime(1, 1, 1, 5, tzinfo=tz(5)), dt.datetime(1, 1, 1, tzinfo=UTC)),
            (dt.datetime(9999, 12, 31, 18, 59, 59, 999000, tzinfo=tz(-5)),
             dt.datetime(9999, 12, 31, 23, 59, 59, 999000, tzinfo=UTC)),
        ],
        ids=str,
    )
    def test_edges_read_back(self, coll, value, back):
        coll.put(1, {"t": value})
        assert coll.get(1) == {"t": back}

    def test_timestamp_beyond_range(self, coll):
        class Far(dt.datetime):
            def timestamp(self):
                return float("inf")

        with pytest.raises(ValueError, match=r"at \$\.t$"):
            coll.put(1, {"t": Far(2000, 1, 1, tzinfo=UTC)})
        assert not coll.contains(1)

    def test_conversion_error_before_it_wins(self, coll):
        with pytest.raises(TypeError, match="unsupported type tuple at \\$.a"):
            coll.put(1, {"a": (1,), "t": dt.datetime.max})
