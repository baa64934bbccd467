"""Random input everywhere the driver meets the outside: replies, frames and
arguments. Never a crash; always a result or the documented exception, and
nothing written when an argument is refused."""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kx5180
from conftest import FakePort, FakeTime, answering, driver

fast = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.fixture(autouse=True)
def no_sleep(monkeypatch):
    monkeypatch.setattr(kx5180, "time", FakeTime())


def valid(data):
    return len(data) == 26 and data[0] == 0xAA and data[-1] == sum(data[:-1]) & 0xFF


class Int(int):
    pass


class Float(float):
    pass


class Str(str):
    pass


anything = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(-(2**100), 2**100),
    st.floats(allow_nan=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308, -1e308, 5e-324]),
    st.text(max_size=8),
    st.binary(max_size=30),
    st.lists(st.integers(0, 300), max_size=30),
    st.builds(Int, st.integers(0, 300)),
    st.builds(Float, st.floats()),
    st.builds(Str, st.sampled_from(["remote", "local", "on", "off", "x"])),
    st.sampled_from(["remote", "local", "on", "off"]),
)


@fast
@given(
    st.one_of(
        st.binary(max_size=40),
        st.lists(st.integers(-(2**70), 2**70), max_size=40),
        st.lists(anything, max_size=5),
        anything,
    )
)
def test_check_crc_never_crashes(data):
    try:
        result = driver(FakePort())._KX5180__check_crc(data)
    except (TypeError, IndexError):
        return
    assert result is True or result is False


chunks = st.lists(st.binary(max_size=30), max_size=35)


@fast
@given(chunks, st.binary(max_size=60))
def test_exchange_returns_a_valid_frame_or_none(replies, stale):
    port = FakePort(lambda written: replies, stale=stale)
    result = driver(port)._KX5180__write_and_read(list(range(26)))
    assert result is None or valid(result)
    assert port.names().count("write") == 1


def frames():
    return (
        st.binary(min_size=24, max_size=24).map(lambda b: bytes([0xAA]) + b).map(lambda b: b + bytes([sum(b) & 0xFF]))
    )


@fast
@given(frames())
def test_any_identity_reply_is_stored_as_four_and_nine_characters(reply):
    o = driver(FakePort(answering(reply)))
    o._KX5180__read_device_version()
    v = o.show_device_version()
    assert len(v["model"]) == 4 and len(v["SN"]) == 9 and 0 <= v["soft_version"] <= 65535
    assert v["model"].encode("latin-1") == reply[3:7] and o._KX5180__addr == reply[1]


@fast
@given(frames())
def test_any_status_reply_decodes(reply):
    status = driver(FakePort(answering(reply))).read_dev_status()
    assert [type(v) for v in status.values()] == [float] * 5 + [str, bool, str, int, str]
    assert status["out_mode"] in ("CV", "CC", "XX") and 0 <= status["fan_speed"] <= 7


REPLY = bytes([0xAA] + [0] * 24 + [0xAA])
PUBLIC = {
    "set_work_mode": (ValueError,),
    "set_ouput_mode": (ValueError,),
    "set_voltage_max": (TypeError, ValueError, OverflowError),
    "set_out_voltage": (TypeError, ValueError, OverflowError),
    "set_out_current": (TypeError, ValueError, OverflowError),
    "set_new_addr": (TypeError, ValueError),
}


@fast
@pytest.mark.parametrize("method", sorted(PUBLIC))
@given(value=anything)
def test_public_methods_refuse_bad_arguments_before_sending(method, value, capsys):
    port = FakePort(answering(REPLY))
    try:
        result = getattr(driver(port), method)(value)
    except PUBLIC[method]:
        assert port.calls == []
        return
    assert result is True
    assert len(port.written) == 1 and valid(port.written[0])


@fast
@pytest.mark.parametrize(
    "method", ["show_device_version", "restore_factory", "read_dev_status", "close", "check_port_available", "open"]
)
@given(extra=anything)
def test_methods_without_arguments_refuse_extra_ones(method, extra):
    port = FakePort(answering(REPLY))
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        getattr(driver(port), method)(extra)
    assert port.calls == []


@fast
@given(anything)
def test_constructor_takes_only_str(value):
    if type(value) is str:
        assert kx5180.KX5180(value).port is value
    else:
        with pytest.raises(TypeError, match="Argument 'serial_port' has incorrect type"):
            kx5180.KX5180(value)
