"""Checksum, raw read and the serial exchange, through fake ports."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import FakePort, answering, driver, frame, sent
from kx5180 import KX5180

obj = KX5180("COM3")
cal = obj._KX5180__cal_crc
check = obj._KX5180__check_crc


@pytest.mark.parametrize(
    "data,expected",
    [
        ([0xAA, 0xFF, 0x26] + [0] * 22 + [0], 0xCF),
        (list(KX5180._KX5180__CMD_TEMPLATE), 0xC9),
        ([7], 0),
        ([0x80, 0x80, 9], 0),
        ([0x1FF, 9], 0xFF),
        ([-1, 0], 0xFF),
        ([2**70 + 5, True, 0], 6),
        ([2**62] * 200 + [0], (2**62 * 200) & 0xFF),
        ([2**63 - 1, 2**63 - 1, 1, 0], (2 * (2**63 - 1) + 1) & 0xFF),
    ],
)
def test_cal_crc_stores_the_low_byte_of_the_sum_in_place(data, expected):
    assert cal(data) is None
    assert data[-1] == expected and type(data[-1]) is int
    assert check(data) is True
    assert KX5180._KX5180__CMD_TEMPLATE[-1] == 0xCC


@pytest.mark.parametrize(
    "data,expected",
    [
        ([0], True),
        ([1], False),
        (b"\x00", True),
        (frame(), True),
        (list(frame()), True),
        (frame()[:-1] + b"\x00", False),
        (frame(b2=0x12), True),
        ([1, 2, "3"], False),
    ],
)
def test_check_crc(data, expected):
    before = list(data) if isinstance(data, list) else data
    assert check(data) is expected
    assert data == before


@pytest.mark.parametrize(
    "func,data,error",
    [
        (cal, [], IndexError),
        (check, [], IndexError),
        (check, b"", IndexError),
        (cal, [1, "a", 0], TypeError),
        (check, [1.5, 0], TypeError),
        (check, (1, 2), TypeError),
        (check, "ab", TypeError),
        (cal, b"\x00", TypeError),
    ],
)
def test_checksum_errors(func, data, error):
    with pytest.raises(error):
        func(data)


@given(st.binary(min_size=26, max_size=26), st.integers(0, 24), st.integers(1, 255))
def test_any_single_byte_change_is_detected(data, index, delta):
    good = list(data[:-1]) + [sum(data[:-1]) & 0xFF]
    assert check(good) and check(bytes(good))
    bad = list(good)
    bad[index] = (bad[index] + delta) & 0xFF
    assert check(bad) is False


@given(st.lists(st.integers(-(2**80), 2**80), min_size=1, max_size=40))
def test_checksum_matches_the_python_expression(data):
    expected = sum(data[:-1]) & 0xFF
    assert check(data) is (data[-1] == expected)
    cal(data)
    assert data[-1] == expected


# ---- the exchange -------------------------------------------------------------

COMMAND = sent([0xAA, 0xFF, 0x26])


def exchange(port, cmd=COMMAND):
    return driver(port)._KX5180__write_and_read(cmd)


def test_reply_complete_at_first_poll(clock):
    reply = frame(b1=3)
    port = FakePort(answering(reply))
    assert exchange(port, list(COMMAND)) == reply
    assert port.calls == [("inWaiting", 0), ("write", COMMAND), ("inWaiting", 26), ("read", 26)]
    assert clock.sleeps == [0.01]


def test_silent_supply_gives_up_after_thirty_polls(clock):
    port = FakePort()
    assert exchange(port) is None
    assert port.names() == ["inWaiting", "write"] + ["inWaiting"] * 30
    assert clock.sleeps == [0.01] * 30


def test_reply_in_pieces_is_read_only_when_complete(clock):
    reply = frame()
    port = FakePort(lambda w: [reply[:10], b"", reply[10:]])
    assert exchange(port) == reply
    assert port.calls[2:] == [("inWaiting", 10), ("inWaiting", 10), ("inWaiting", 26), ("read", 26)]


def test_more_than_a_frame_waiting_is_never_read(clock):
    port = FakePort(answering(frame() + b"\x00"))
    assert exchange(port) is None
    assert "read" not in port.names() and len(port.buffer) == 27


@pytest.mark.parametrize("reply", [frame(b0=0x55), frame()[:-1] + b"\x01"])
def test_invalid_replies_are_refused_at_once(clock, reply):
    port = FakePort(lambda w: [b"", reply])
    assert exchange(port) is None
    # The exchange ends with the refused read: no further polls.
    assert port.names() == ["inWaiting", "write", "inWaiting", "inWaiting", "read"]
    assert len(clock.sleeps) == 2


def test_sync_byte_is_tested_before_the_checksum(clock, monkeypatch):
    calls = []

    class Counting(KX5180):
        def _KX5180__check_crc(self, data):
            calls.append(data)
            return True

    o = Counting("COM3")
    o.ser = FakePort(answering(frame(b0=0x55)))
    assert o._KX5180__write_and_read(COMMAND) is None and calls == []
    o.ser = FakePort(answering(frame()[:-1] + b"\x07"))
    assert o._KX5180__write_and_read(COMMAND) == frame()[:-1] + b"\x07" and len(calls) == 1


@pytest.mark.parametrize("stale", [frame(b9=1), frame(b9=1) + b"\x01\x02", b"\xaa\x01"])
def test_stale_input_is_discarded_before_writing(clock, stale):
    reply = frame(b9=0x85)
    port = FakePort(answering(reply), stale=stale)
    assert exchange(port) == reply
    assert port.calls[:3] == [("inWaiting", len(stale)), ("read", len(stale)), ("write", COMMAND)]


def test_each_exchange_writes_once_and_looks_up_time_and_length_per_use(clock, monkeypatch):
    port = FakePort(lambda w: [b"", frame()])
    o = driver(port)
    assert o._KX5180__write_and_read(COMMAND) == frame()
    assert port.names().count("write") == 1 and clock.sleeps == [0.01, 0.01]


@pytest.mark.parametrize(
    "cmd,error,text",
    [
        ([0xAA, 0xFF, 0x25, 300] + [0] * 22, ValueError, "command frame byte 3 is 300"),
        ([0xAA, -1], ValueError, "command frame byte 1 is -1"),
        ([0xAA, 2**80], ValueError, "does not fit in a byte"),
        ([0xAA, 1.5], TypeError, "cannot be interpreted as an integer"),
        ((0xAA,), TypeError, "expected list or bytes, got tuple"),
        ("AA", TypeError, "expected list or bytes, got str"),
    ],
)
def test_frames_that_cannot_be_sent_are_refused_before_writing(clock, cmd, error, text):
    port = FakePort(answering(frame()))
    with pytest.raises(error, match=text):
        exchange(port, cmd)
    assert port.calls == []


def test_port_errors_propagate(clock):
    import serial

    class Broken(FakePort):
        def write(self, data):
            raise serial.SerialException("device disconnected")

    with pytest.raises(serial.SerialException, match="disconnected"):
        exchange(Broken())
    with pytest.raises(AttributeError):
        KX5180("COM3")._KX5180__write_and_read(COMMAND)


@pytest.mark.parametrize("waiting,expected", [(b"", None), (b"\x01\x02\x03\x04\x05", b"\x01\x02\x03\x04\x05")])
def test_raw_read(waiting, expected):
    port = FakePort(stale=waiting)
    assert driver(port)._KX5180__read() == expected
    assert port.names() == (["inWaiting", "read"] if waiting else ["inWaiting"])
