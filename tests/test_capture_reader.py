"""kx5180-sim's reader of capture files (--replay FILE): what is not JSON is
refused with its line and column, escapes are decoded, and no frame is
skipped because of how it was written."""

import json
import subprocess

import pytest
import serial

from conftest import SIM, frame, needs_sim, sent

pytestmark = needs_sim

HEADER = json.dumps(
    {
        "format": "kx5180-capture",
        "version": 1,
        "tool": "0.1.0",
        "port": "/dev/ttyUSB0",
        "line": {"baud": 4800, "bytesize": 8, "parity": "N", "stopbits": 1},
        "t": 10.0,
    }
)
STATUS = sent([0xAA, 0x01, 0x26])


@pytest.mark.parametrize(
    "line,message",
    [
        (b'{"t": 01, "event": "tx"}', "not JSON: a number with a leading zero (column 7)"),
        (b'{"t": 1e400, "event": "tx"}', "not JSON: a number out of range (column 7)"),
        (b'{"t": 1.0, "event": "tx"', "not JSON: the line ends inside an object (column 25)"),
        (b'{"event": "tx"} x', "not JSON: more after the end of the value (column 17)"),
        (b'{"event": "t\\x"}', "not JSON: a bad escape \\x (column 13)"),
        (b'{"event": "\\ud800x"}', "not JSON: a high surrogate \\ud800 without a low one after it (column 12)"),
        (b'{"event": "t\xffx"}', "not JSON: a string that is not UTF-8 (column 13)"),
        (
            b'{"event": "tx", "t": 1.0, "hex": "aa", "line": ' + b"[" * 40 + b"]" * 40 + b"}",
            "nested deeper than 32 levels (column 79)",
        ),
        (b'[{"event": "tx"}]', "not a JSON object"),
        (b'{"event": "tx", "event": "settle"}', 'member "event" given twice'),
        (b'{"t": 1.0, "hex": "aa"}', 'a record without an "event" name'),
        # Read as the frame it is, not passed over as a note of another name.
        (b'{"event": "\\u0074x", "t": 1.0, "hex": "aa0126"}', "a frame written is 26 bytes"),
    ],
)
def test_a_capture_line_that_is_not_what_it_should_be_is_refused_with_its_line(tmp_path, line, message):
    capture = tmp_path / "session.jsonl"
    capture.write_bytes(HEADER.encode() + b"\n" + line + b"\n")
    result = subprocess.run(
        [SIM, "--replay", str(capture)], capture_output=True, text=True, timeout=10, stdin=subprocess.DEVNULL
    )
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"kx5180-sim: --replay {capture}: line 2: {message}\n"


def test_a_capture_written_with_escapes_replays(kx5180_sim, tmp_path):
    reply = frame((0xAA, 0x01, 0x26), b16=0xC6, b17=0x04)
    lines = [
        # A port and a tool with characters json.dumps writes as escapes (a surrogate pair among them).
        HEADER.replace('"/dev/ttyUSB0"', '"/dev/tty\\u00e9\\ud83d\\ude00"').replace('"0.1.0"', '"0.1.0 \\"dev\\"\\/"'),
        '{"t": 10.5, "event": "\\u0074x", "port": "p", "hex": "\\u0061a' + STATUS.hex()[2:] + '"}',
        '{"t": 10.6, "event": "r\\u0078", "port": "p", "hex": "' + reply.hex() + '", "after": 10.5, "seen": 10.6}',
        '{"t": 10.7, "event": "identity", "port": "p", "model": "51\\u0038\\u0030", "what": "a\\tb\\nc"}',
    ]
    capture = tmp_path / "session.jsonl"
    capture.write_text("\n".join(lines) + "\n", encoding="ascii")
    sim = kx5180_sim(extra_args=["--replay", str(capture)])
    with serial.Serial(sim.port, 4800, timeout=5) as port:
        port.write(STATUS)
        assert port.read(26) == reply
    assert sim.stop() == 0, sim.log()
