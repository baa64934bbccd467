"""Cost of each driver method against a plain-Python rendition of it.

    python3 bench/methods.py                 # 15 rounds
    python3 bench/methods.py --rounds 5 --number 2000   # a quick look
    python3 bench/methods.py --rounds 0 --imports 50   # import time alone

Both classes run in this one process, on a fake port that answers every
command at once and with a clock whose sleep does nothing, so what is timed
is the code of the method and of the methods it calls through the object.
The plain rendition keeps the driver's safety checks (refused modes and
setpoints, byte range of the frame, dropping stale bytes, the blanked model
code during identification), so that both do the same work.

Each round times every method natively and then in plain Python, NUMBER
calls each; the table gives per method the median over the rounds of
(native time / Python time) and the median ns per call of each.

Before that, `import kx5180` is timed in fresh interpreters (-X importtime,
IMPORTS runs): the module's own share (loading it, running its body,
building the class) and the whole, with the modules it imports.
"""

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import timeit
import types

import kx5180
from machine import machine

FRAME = 26

# One reply serves every command: a valid frame whose bytes 3 to 6 read
# "5180", so that open() accepts the unit and the readouts decode it.
_REPLY = [0xAA, 0x01, 0x12] + list(b"5180") + [0, 0x75, 0x01] + list(b"076787041") + [0] * 6
REPLY = bytes(_REPLY + [sum(_REPLY) & 0xFF])


class Port:
    """Answers a written frame at once; nothing stale is ever waiting."""

    def __init__(self):
        self.waiting = 0

    def write(self, data):
        self.waiting = FRAME
        return len(data)

    def inWaiting(self):
        return self.waiting

    def read(self, n):
        self.waiting = 0
        return REPLY

    def close(self):
        pass


class Clock:
    def sleep(self, seconds):
        pass


class Lsof:
    stdout = b""


class Subprocess:
    PIPE = -1

    @staticmethod
    def run(argv, stdout=None, stderr=None):
        return Lsof


class Platform:
    @staticmethod
    def system():
        return "Linux"


class Serial:
    SerialException = OSError

    @staticmethod
    def Serial(*args, **kwargs):
        return Port()


PLAIN_SOURCE = """
class KX5180:
    __CMD_TEMPLATE = (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,)
    __CMD_WORD_SET_WORK_MODE = 0x20
    __CMD_WORD_SET_OUT_MODE = 0x21
    __CMD_WORD_SET_MAX_OUT_VOLTAGE = 0x22
    __CMD_WORD_SET_OUT_VOLTAGE = 0x23
    __CMD_WORD_SET_OUT_CURRENT = 0x24
    __CMD_WORD_SET_NEW_ADDR = 0x25
    __CMD_WORD_READ_DEV_REAL_STATUS = 0x26
    __CMD_WORD_READ_DEV_VERSION = 0x31
    __CMD_WORD_RESTORE_FACTORY = 0x32
    __CMD_WORD_DEV_RETURN = 0x12
    __CMD_LENGTH = 26

    def __init__(self, serial_port: "str"):
        if type(serial_port) is not str:
            raise TypeError("Argument 'serial_port' has incorrect type")
        self.port = serial_port
        self.__addr = 255
        self.__product_model = ""
        self.__product_number = ""
        self.__soft_version = 0

    def __check_crc(self, data: "list") -> "bool":
        if not isinstance(data, (list, bytes)):
            raise TypeError("Argument 'data' has incorrect type")
        return data[-1] == sum(data[:-1]) & 0xFF

    def __cal_crc(self, data: "list") -> "None":
        if type(data) is not list:
            raise TypeError("Argument 'data' has incorrect type")
        data[-1] = sum(data[:-1]) & 0xFF

    def __read(self):
        buf_len = self.ser.inWaiting()
        if buf_len > 0:
            return self.ser.read(buf_len)
        return None

    def __write_and_read(self, cmd: "bytes"):
        if not isinstance(cmd, (list, bytes)):
            raise TypeError("Argument 'cmd' has incorrect type")
        if isinstance(cmd, list):
            for i, v in enumerate(cmd):
                if not 0 <= v <= 255:
                    raise ValueError(f"command frame byte {i} is {v!r}; nothing was sent")
        cmd = bytes(cmd)
        stale = self.ser.inWaiting()
        if stale > 0:
            self.ser.read(stale)
        self.ser.write(cmd)
        max_try = 30
        while max_try > 0:
            max_try -= 1
            time.sleep(0.01)
            buf_len = self.ser.inWaiting()
            if buf_len == self.__CMD_LENGTH:
                data = self.ser.read(buf_len)
                if len(data) == 26 and data[0] == 0xAA and self.__check_crc(data):
                    return data
                return None
        return None

    def show_device_version(self) -> "dict":
        return {"model": self.__product_model, "SN": self.__product_number, "soft_version": self.__soft_version}

    def set_work_mode(self, mode="remote") -> "bool":
        if mode == "remote":
            work_mode = 1
        elif mode == "local":
            work_mode = 0
        else:
            raise ValueError(f"mode must be 'remote' or 'local', not {mode!r}; nothing was sent")
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_WORK_MODE
        command[3] = work_mode
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        return True if read_bytes else False

    def set_ouput_mode(self, mode="off") -> "bool":
        if mode == "on":
            flag = 1
        elif mode == "off":
            flag = 0
        else:
            raise ValueError(f"mode must be 'on' or 'off', not {mode!r}; nothing was sent")
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_OUT_MODE
        command[3] = flag
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        return True if read_bytes else False

    def __setpoint(self, x, word):
        x = float(x)
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = word
        v = int(x * 1000.0)
        if not 0 <= v <= 4294967295:
            raise ValueError(f"{x!r} is out of range; nothing was sent")
        command[3] = v & 0xFF
        command[4] = (v >> 8) & 0xFF
        command[5] = (v >> 16) & 0xFF
        command[6] = (v >> 24) & 0xFF
        self.__cal_crc(command)
        return self.__write_and_read(command)

    def set_voltage_max(self, voltage: "float") -> "bool":
        read_bytes = self.__setpoint(voltage, self.__CMD_WORD_SET_MAX_OUT_VOLTAGE)
        return True if read_bytes else False

    def set_out_voltage(self, voltage: "float") -> "bool":
        read_bytes = self.__setpoint(voltage, self.__CMD_WORD_SET_OUT_VOLTAGE)
        if read_bytes:
            buf = list(read_bytes)
            print("set voltage, read:" + str(buf))
            return True
        return False

    def set_out_current(self, current: "float") -> "bool":
        read_bytes = self.__setpoint(current, self.__CMD_WORD_SET_OUT_CURRENT)
        if read_bytes:
            buf = list(read_bytes)
            print("set current, read:" + str(buf))
            return True
        return False

    def set_new_addr(self, address: "int") -> "bool":
        if type(address) is not int:
            raise TypeError("Argument 'address' has incorrect type")
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_SET_NEW_ADDR
        command[3] = address
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        return True if read_bytes else False

    def restore_factory(self) -> "bool":
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_RESTORE_FACTORY
        self.__cal_crc(command)
        read_bytes = self.__write_and_read(command)
        if read_bytes:
            buf = list(read_bytes)
            print("Restore FACTORY:" + str(buf))
            return True
        return False

    def read_dev_status(self) -> "dict":
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_READ_DEV_REAL_STATUS
        self.__cal_crc(command)
        b = self.__write_and_read(command)
        if not b:
            return None
        s = b[9]
        m = (s & 0x0C) >> 2
        return {
            "current_real": (b[3] | b[4] << 8) / 1000.0,
            "voltage_real": (b[5] | b[6] << 8 | b[7] << 16 | b[8] << 24) / 1000.0,
            "current_set": (b[10] | b[11] << 8) / 1000.0,
            "voltage_max_set": (b[12] | b[13] << 8 | b[14] << 16 | b[15] << 24) / 1000.0,
            "voltage_set": (b[16] | b[17] << 8 | b[18] << 16 | b[19] << 24) / 1000.0,
            "out_status": "on" if s & 0x01 == 1 else "off",
            "beyond_temp": (s & 0x02) != 0,
            "out_mode": "CV" if m == 1 else "CC" if m == 2 else "XX",
            "fan_speed": (s & 0x70) >> 4,
            "work_mode": "remote" if s & 0x80 else "local",
        }

    def __read_device_version(self):
        command = list(self.__CMD_TEMPLATE)
        command[1] = self.__addr
        command[2] = self.__CMD_WORD_READ_DEV_VERSION
        self.__cal_crc(command)
        b = self.__write_and_read(command)
        if not b:
            return None
        self.__addr = b[1]
        self.__product_model = b[3:7].decode("latin-1")
        self.__product_number = b[10:19].decode("latin-1")
        self.__soft_version = b[8] | b[9] << 8
        return None

    def check_port_available(self) -> "bool":
        if platform.system().lower() == "windows":
            try:
                serial.Serial(self.port).close()
                return True
            except serial.SerialException:
                return False
        try:
            result = subprocess.run(["lsof", self.port], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            return not result.stdout
        except Exception as e:
            print("检查端口时出错: " + str(e))
            return False

    def open(self) -> "bool":
        port = None
        try:
            if not self.check_port_available():
                print("serial port already opened!, Please close and try                       again!")
                return False
            port = serial.Serial(self.port, 4800, 8, "N", timeout=50, stopbits=1)
            self.ser = port
            previous = self.__product_model
            self.__product_model = ""
            try:
                self.__read_device_version()
            finally:
                identified = self.__product_model != ""
                if not identified:
                    self.__product_model = previous
            if identified and self.__product_model in ("5180", "5181"):
                return True
            self.close()
            return False
        except Exception as e:
            if isinstance(e, serial.SerialException):
                print("Cannot open serial port" + str(e))
            if port is not None:
                try:
                    port.close()
                except Exception:
                    pass
            return False

    def close(self):
        self.ser.close()
"""

# (label, statement, argument); `o` is an opened object, `C` its class.
CASES = [
    ("KX5180(port)", "C(a)", "/dev/ttyUSB0"),
    ("__check_crc(bytes)", "o._KX5180__check_crc(a)", REPLY),
    ("__cal_crc(list)", "o._KX5180__cal_crc(a)", [0xAA, 0xFF, 0x26] + [0] * 23),
    ("__write_and_read(list)", "o._KX5180__write_and_read(a)", [0xAA, 0xFF, 0x26] + [0] * 22 + [0xCF]),
    ("show_device_version", "o.show_device_version()", None),
    ("set_work_mode", "o.set_work_mode(a)", "remote"),
    ("set_ouput_mode", "o.set_ouput_mode(a)", "on"),
    ("set_voltage_max", "o.set_voltage_max(a)", 2.0),
    ("set_out_voltage", "o.set_out_voltage(a)", 1.222),
    ("set_out_current", "o.set_out_current(a)", 0.888),
    ("set_new_addr", "o.set_new_addr(a)", 6),
    ("restore_factory", "o.restore_factory()", None),
    ("read_dev_status", "o.read_dev_status()", None),
    ("check_port_available", "o.check_port_available()", None),
    ("open", "o.open()", None),
    ("close", "o.close()", None),
]

FAKES = {"time": Clock(), "subprocess": Subprocess, "platform": Platform, "serial": Serial}


def plain_class():
    namespace = types.ModuleType("plain_kx5180")
    vars(namespace).update(FAKES)
    exec(compile(PLAIN_SOURCE, "<plain kx5180>", "exec"), vars(namespace))
    return namespace.KX5180


def opened(cls):
    obj = cls("/dev/ttyUSB0")
    if obj.open() is not True:
        sys.exit(f"{cls.__module__}: open() refused the fake unit")
    return obj


def check_alike(native, plain):
    """Both classes must give equal results, or the comparison is void."""
    n, p = opened(native), opened(plain)
    for label, stmt, arg in CASES:
        if label == "__cal_crc(list)":
            arg_n, arg_p = list(arg), list(arg)
        else:
            arg_n = arg_p = arg
        got = eval(stmt, {"o": n, "C": native, "a": arg_n})
        want = eval(stmt, {"o": p, "C": plain, "a": arg_p})
        if isinstance(got, native) and isinstance(want, plain):
            got, want = vars(got), vars(want)
        if type(got) is not type(want) or got != want:
            sys.exit(f"{label}: the driver gave {got!r}, the plain rendition {want!r}")
        if arg_n != arg_p:
            sys.exit(f"{label}: the driver left {arg_n!r}, the plain rendition {arg_p!r}")


def timed(cls, stmt, arg, number):
    obj = opened(cls)
    return timeit.Timer(stmt, globals={"o": obj, "C": cls, "a": arg}).timeit(number) / number * 1e9


def import_times(runs):
    """Median microseconds of `import kx5180` in a fresh interpreter: its
    own and with the modules it imports."""
    own, whole = [], []
    for _ in range(runs):
        report = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", "import kx5180"], capture_output=True, text=True, check=True
        ).stderr
        for line in report.splitlines():
            fields = line.split("|")
            if len(fields) == 3 and fields[2].strip() == "kx5180":
                own.append(int(fields[0].rsplit(":", 1)[1]))
                whole.append(int(fields[1]))
    return statistics.median(own), statistics.median(whole)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--number", type=int, default=20_000, help="calls per method per round")
    parser.add_argument("--imports", type=int, default=30, help="fresh interpreters that time the import")
    args = parser.parse_args()

    imports = import_times(args.imports) if args.imports > 0 else None

    native, plain = kx5180.KX5180, plain_class()
    saved = {name: getattr(kx5180, name) for name in FAKES}
    vars(kx5180).update(FAKES)
    try:
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            check_alike(native, plain)
            ratios = {label: [] for label, _, _ in CASES}
            native_ns = {label: [] for label, _, _ in CASES}
            plain_ns = {label: [] for label, _, _ in CASES}
            for _ in range(args.rounds):
                for label, stmt, arg in CASES:
                    n = timed(native, stmt, arg, args.number)
                    p = timed(plain, stmt, arg, args.number)
                    native_ns[label].append(n)
                    plain_ns[label].append(p)
                    ratios[label].append(n / p)
    finally:
        vars(kx5180).update(saved)

    print(f"Machine: {machine()}")
    if imports is not None:
        print(
            f"import kx5180 (median of {args.imports} fresh interpreters): {imports[0]} us its own, "
            f"{imports[1]} us with the modules it imports\n"
        )
    if args.rounds <= 0:
        return
    print(f"{args.rounds} rounds x {args.number} calls per method; fake port, no-op clock\n")
    print("| method | kx5180 ns/call | plain Python ns/call | kx5180 / Python (median of rounds) |")
    print("|---|---|---|---|")
    for label, _, _ in CASES:
        print(
            f"| {label} | {statistics.median(native_ns[label]):.0f} | {statistics.median(plain_ns[label]):.0f} "
            f"| {statistics.median(ratios[label]):.2f} |"
        )


if __name__ == "__main__":
    main()
