"""Setting commands and readouts: frames byte for byte, printed lines,
results and the refusal of unsafe arguments."""

import math

import pytest

import kx5180
from conftest import FakePort, answering, driver, frame, sent

REPLY = frame(b1=0xFF, b2=0x12)
REPLY_TEXT = str(list(REPLY))


@pytest.fixture
def port(clock):
    return FakePort(answering(REPLY))


@pytest.mark.parametrize(
    "method,args,head,checksum",
    [
        ("set_work_mode", ("remote",), [0xAA, 0xFF, 0x20, 0x01], 0xCA),
        ("set_work_mode", ("local",), [0xAA, 0xFF, 0x20, 0x00], 0xC9),
        ("set_work_mode", (), [0xAA, 0xFF, 0x20, 0x01], 0xCA),
        ("set_ouput_mode", ("on",), [0xAA, 0xFF, 0x21, 0x01], 0xCB),
        ("set_ouput_mode", ("off",), [0xAA, 0xFF, 0x21, 0x00], 0xCA),
        ("set_ouput_mode", (), [0xAA, 0xFF, 0x21, 0x00], 0xCA),
        ("set_voltage_max", (2.0,), [0xAA, 0xFF, 0x22, 0xD0, 0x07, 0, 0], 0xA2),
        ("set_out_voltage", (1.222,), [0xAA, 0xFF, 0x23, 0xC6, 0x04, 0, 0], 0x96),
        ("set_out_current", (0.888,), [0xAA, 0xFF, 0x24, 0x78, 0x03, 0, 0], 0x48),
        ("set_out_voltage", (1.001,), [0xAA, 0xFF, 0x23, 0xE8, 0x03, 0, 0], 0xB7),
        ("set_out_voltage", (5,), [0xAA, 0xFF, 0x23, 0x88, 0x13, 0, 0], None),
        ("set_out_voltage", (0.0009,), [0xAA, 0xFF, 0x23, 0, 0, 0, 0], None),
        ("set_out_voltage", (-0.0005,), [0xAA, 0xFF, 0x23, 0, 0, 0, 0], None),
        ("set_out_voltage", (1.005,), [0xAA, 0xFF, 0x23, 0xEC, 0x03, 0, 0], None),
        ("set_out_voltage", (4294967.295,), [0xAA, 0xFF, 0x23, 0xFF, 0xFF, 0xFF, 0xFF], None),
        ("set_out_current", (0,), [0xAA, 0xFF, 0x24, 0, 0, 0, 0], None),
        ("set_new_addr", (6,), [0xAA, 0xFF, 0x25, 0x06], 0xD4),
        ("restore_factory", (), [0xAA, 0xFF, 0x32, 0x00], 0xDB),
        ("read_dev_status", (), [0xAA, 0xFF, 0x26], 0xCF),
    ],
)
def test_worked_frames(port, method, args, head, checksum):
    getattr(driver(port), method)(*args)
    assert port.written == [sent(head)]
    if checksum is not None:
        assert port.written[0][25] == checksum


@pytest.mark.parametrize(
    "method,arg,line",
    [
        ("set_work_mode", "remote", None),
        ("set_ouput_mode", "on", None),
        ("set_voltage_max", 2.0, None),
        ("set_out_voltage", 1.222, "set voltage, read:" + REPLY_TEXT),
        ("set_out_current", 0.888, "set current, read:" + REPLY_TEXT),
        ("set_new_addr", 6, None),
        ("restore_factory", None, "Restore FACTORY:" + REPLY_TEXT),
    ],
)
def test_results_and_printed_lines(clock, capsys, method, arg, line):
    args = () if arg is None else (arg,)
    assert getattr(driver(FakePort(answering(REPLY))), method)(*args) is True
    assert capsys.readouterr().out == ("" if line is None else line + "\n")
    assert getattr(driver(FakePort()), method)(*args) is False
    assert capsys.readouterr().out == ""


def test_print_is_looked_up_when_used(port, printed):
    driver(port).restore_factory()
    assert printed == ["Restore FACTORY:" + REPLY_TEXT]


@pytest.mark.parametrize(
    "method,mode",
    [
        ("set_work_mode", "REMOTE"),
        ("set_work_mode", "Remote"),
        ("set_work_mode", "remote "),
        ("set_work_mode", ""),
        ("set_work_mode", None),
        ("set_work_mode", 1),
        ("set_ouput_mode", "OFF"),
        ("set_ouput_mode", "Off"),
        ("set_ouput_mode", False),
        ("set_ouput_mode", 0),
        ("set_ouput_mode", ""),
        ("set_ouput_mode", None),
    ],
)
def test_modes_other_than_the_two_words_are_refused_and_nothing_is_sent(port, method, mode):
    accepted = "'remote' or 'local'" if method == "set_work_mode" else "'on' or 'off'"
    with pytest.raises(ValueError, match=accepted):
        getattr(driver(port), method)(mode)
    assert port.calls == []


def test_modes_compare_with_equality(port):
    class Word(str):
        pass

    assert driver(port).set_ouput_mode(mode=Word("on")) is True
    assert port.written[0][3] == 1


@pytest.mark.parametrize("method", ["set_voltage_max", "set_out_voltage", "set_out_current"])
@pytest.mark.parametrize(
    "value,error",
    [
        (-1.0, ValueError),
        (-0.0015, ValueError),
        (4294967.296, ValueError),
        (1e300, ValueError),
        (math.nan, ValueError),
        (math.inf, OverflowError),
        (-math.inf, OverflowError),
        ("1.2", TypeError),
    ],
)
def test_setpoints_that_cannot_be_carried_are_refused_and_nothing_is_sent(port, method, value, error):
    with pytest.raises(error) as err:
        getattr(driver(port), method)(value)
    assert port.calls == []
    if error is ValueError and not math.isnan(value):
        assert repr(value) in str(err.value) and "0 to 4294967.295" in str(err.value)


def test_setpoint_accepts_what_float_accepts(port):
    class Volts:
        def __float__(self):
            return 3.3

    class Index:
        def __index__(self):
            return 2

    o = driver(port)
    assert o.set_out_voltage(Volts()) and o.set_voltage_max(Index())
    assert [w[3:7] for w in port.written] == [bytes([0xE4, 0x0C, 0, 0]), bytes([0xD0, 0x07, 0, 0])]


def test_new_address_is_sent_but_not_adopted(port):
    o = driver(port, addr=9)
    assert o.set_new_addr(address=6) is True
    assert o.set_work_mode() is True
    assert [w[1] for w in port.written] == [9, 9]
    assert o._KX5180__addr == 9


@pytest.mark.parametrize("address", [256, -1, 1000])
def test_address_outside_a_byte_is_refused_by_the_exchange(port, address):
    with pytest.raises(ValueError, match=f"byte 3 is {address}"):
        driver(port).set_new_addr(address)
    assert port.calls == []


@pytest.mark.parametrize(
    "method,args",
    [
        ("set_work_mode", ()),
        ("set_out_voltage", (1.0,)),
        ("set_new_addr", (1,)),
        ("restore_factory", ()),
        ("read_dev_status", ()),
    ],
)
def test_commands_on_an_object_never_opened_raise_attribute_error(clock, method, args):
    with pytest.raises(AttributeError, match="ser"):
        getattr(kx5180.KX5180("COM3"), method)(*args)


# ---- status -------------------------------------------------------------------


@pytest.mark.parametrize(
    "bits,expected",
    [
        (0x00, ("off", False, "XX", 0, "local")),
        (0xFF, ("on", True, "XX", 7, "remote")),
        (0x85, ("on", False, "CV", 0, "remote")),
        (0x3A, ("off", True, "CC", 3, "local")),
    ],
)
def test_status_bits(clock, bits, expected):
    status = driver(FakePort(answering(frame(b9=bits)))).read_dev_status()
    assert tuple(status.values())[5:] == expected
    assert type(status["beyond_temp"]) is bool and type(status["fan_speed"]) is int


def test_status_readings():
    reply = frame(
        [
            0xAA,
            7,
            0x12,
            0xC8,
            0x00,
            0xDA,
            0x0C,
            0,
            0,
            0x85,
            0xE8,
            0x03,
            0x88,
            0x13,
            0,
            0,
            0xE4,
            0x0C,
            0,
            0,
            9,
            9,
            9,
            9,
            9,
        ]
    )
    status = driver(FakePort(answering(reply))).read_dev_status()
    assert status == {
        "current_real": 0.2,
        "voltage_real": 3.29,
        "current_set": 1.0,
        "voltage_max_set": 5.0,
        "voltage_set": 3.3,
        "out_status": "on",
        "beyond_temp": False,
        "out_mode": "CV",
        "fan_speed": 0,
        "work_mode": "remote",
    }
    assert list(status) == [
        "current_real",
        "voltage_real",
        "current_set",
        "voltage_max_set",
        "voltage_set",
        "out_status",
        "beyond_temp",
        "out_mode",
        "fan_speed",
        "work_mode",
    ]
    assert all(type(status[k]) is float for k in list(status)[:5])


@pytest.mark.parametrize(
    "at,key,value",
    [
        ({"b16": 0, "b17": 0, "b18": 0, "b19": 1}, "voltage_set", 16777.216),
        ({"b5": 255, "b6": 255, "b7": 255, "b8": 255}, "voltage_real", 4294967.295),
        ({"b3": 255, "b4": 255}, "current_real", 65.535),
        ({"b10": 1, "b11": 1}, "current_set", 0.257),
    ],
)
def test_each_reading_comes_from_its_own_bytes(clock, at, key, value):
    status = driver(FakePort(answering(frame(**at)))).read_dev_status()
    assert status[key] == value
    assert all(v == 0.0 for k, v in list(status.items())[:5] if k != key)


def test_status_without_reply_is_none_and_dicts_are_new(clock):
    assert driver(FakePort()).read_dev_status() is None
    o = driver(FakePort(lambda w: [frame()]))
    first, second = o.read_dev_status(), o.read_dev_status()
    assert first == second and first is not second


# ---- identity -----------------------------------------------------------------

IDENTITY = frame([0xAA, 7, 0x31, *b"5181", 0, 0x75, 0x01, *b"076787041"])


def test_identity_read_stores_the_reply_and_adopts_the_address(clock):
    port = FakePort(answering(IDENTITY))
    o = driver(port)
    assert o._KX5180__read_device_version() is None
    assert port.written[0] == sent([0xAA, 0xFF, 0x31])
    assert o.show_device_version() == {"model": "5181", "SN": "076787041", "soft_version": 373}
    o.set_work_mode()
    assert port.written[1][1] == 7


def test_identity_characters_are_latin1_and_untrimmed(clock):
    o = driver(FakePort(answering(frame([0xAA, 1, 0x31, 0x35, 0, 0xE9, 0x20, 0, 0, 0, *b"0" * 9]))))
    o._KX5180__read_device_version()
    assert o.show_device_version()["model"] == "5\x00\xe9 "
    assert o.show_device_version()["SN"] == "000000000"


def test_identity_without_reply_keeps_the_earlier_identity(clock):
    o = driver(FakePort(answering(IDENTITY)))
    o._KX5180__read_device_version()
    o.ser = FakePort()
    assert o._KX5180__read_device_version() is None
    assert o.show_device_version() == {"model": "5181", "SN": "076787041", "soft_version": 373}
    assert o._KX5180__addr == 7


def test_show_device_version_returns_new_dicts():
    o = kx5180.KX5180("COM3")
    first = o.show_device_version()
    assert first == {"model": "", "SN": "", "soft_version": 0}
    first["model"] = "x"
    assert o.show_device_version()["model"] == ""
