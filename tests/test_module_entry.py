"""The module as the interpreter loads, runs and drops it: refusal in
sub-interpreters, collection once it is no longer imported, and the
demonstration sequence run as the main program."""

import subprocess
import sys
import textwrap

import pytest


def run_python(code, timeout=60):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, cwd="/", timeout=timeout
    )


# Each sub-interpreter tries the import; were it let through, the call that
# raises is the one that used to hang the process.
SUB_INTERPRETERS = """
    import sys
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        configs = [("isolated",), ("legacy",)]
        create = lambda config: interpreters.create(*config)
    else:
        import _xxsubinterpreters as interpreters
        configs = [{"isolated": True}, {"isolated": False}] if sys.version_info >= (3, 12) else [{}]
        create = lambda config: interpreters.create(**config)
    TRY = '''if True:
        import os
        try:
            import kx5180
        except ImportError as e:
            os.write(1, ("refused: %s: %s\\\\n" % (type(e).__name__, e)).encode())
        else:
            os.write(1, b"imported\\\\n")
            kx5180.KX5180("COM3").close()
    '''
    {main_import}
    for config in configs:
        interp = create(config)
        interpreters.run_string(interp, TRY)
        interpreters.destroy(interp)
    import kx5180
    kx5180.KX5180("COM3")
    print("main: ok")
"""


@pytest.mark.parametrize("main_import", ["", "import kx5180"], ids=["first-in-sub", "after-main"])
def test_sub_interpreters_refuse_the_import_and_nothing_hangs(main_import):
    result = run_python(SUB_INTERPRETERS.replace("{main_import}", main_import), timeout=30)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[-1] == "main: ok"
    assert lines[:-1] and set(lines[:-1]) == {
        "refused: ImportError: module kx5180 does not support loading in subinterpreters"
    }


def test_module_and_class_are_collected_once_dropped():
    result = run_python("""
        import gc, sys, weakref
        import kx5180
        obj = kx5180.KX5180("COM3")
        refs = [weakref.ref(kx5180), weakref.ref(kx5180.KX5180), weakref.ref(kx5180.KX5180.open),
                weakref.ref(vars(kx5180)["KX5180"].open.__closure__[0].cell_contents)]
        del sys.modules["kx5180"], kx5180, obj
        gc.collect()
        print([ref() is None for ref in refs])
        import kx5180
        print(kx5180.KX5180("COM3").port)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[True, True, True, True]", "COM3"]


DEMONSTRATION = """
    import importlib.util, subprocess, platform, sys, types
    log = []

    def reply(word):
        data = [0xAA, 0x01, word] + list(b"5180") + [0] * 18
        return bytes(data + [sum(data) & 0xFF])

    class Port:
        def __init__(self, *args, **kwargs):
            log.append(("Serial", args, kwargs))
            self.waiting = b""
        def write(self, data):
            log.append(("write", hex(data[2]), data[1], data[3]))
            self.waiting = reply(data[2])
        def inWaiting(self):
            return len(self.waiting)
        def read(self, n):
            data, self.waiting = self.waiting, b""
            return data
        def close(self):
            log.append(("close",))

    serial = types.ModuleType("serial")
    serial.Serial, serial.SerialException = Port, OSError
    sys.modules["serial"] = serial
    sys.modules["time"] = types.SimpleNamespace(sleep=lambda s: s == 0.01 or log.append(("sleep", s)))
    spec = importlib.util.find_spec("kx5180")
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    module.print = lambda line: log.append(("print", line.split(":[")[0]))
    platform.system = lambda: "Windows"
    spec.loader.exec_module(module)
    print(module.opat_port, type(module.kx5100).__name__)
    for entry in log:
        print(*entry)
"""


def test_demonstration_takes_its_steps_through_the_module_namespace():
    result = run_python(DEMONSTRATION)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "/dev/cu.usbserial-21320 KX5180",
        "Serial ('/dev/cu.usbserial-21320',) {}",  # the availability check
        "close",
        "Serial ('/dev/cu.usbserial-21320', 4800, 8, 'N') {'timeout': 50, 'stopbits': 1}",
        "write 0x31 255 0",
        "print set work mode to remote controll",
        "write 0x20 1 1",
        "write 0x25 1 6",
        "write 0x22 1 208",
        "write 0x23 1 198",
        "print set voltage, read",
        "write 0x24 1 120",
        "print set current, read",
        "write 0x21 1 1",
        "sleep 3",
        "print ------------ local -------------",
        "write 0x26 1 0",
        "write 0x20 1 0",
        "write 0x21 1 0",
        "write 0x32 1 0",
        "print Restore FACTORY",
        "close",
        "print kx5100 series closed!",
    ]
