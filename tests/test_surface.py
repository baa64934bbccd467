"""The Python surface of the module: namespace, class, method objects,
argument binding and argument checks."""

import copy
import gc
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback
import types
import weakref
from unittest import mock

import pytest

import kx5180
import plain_driver
from kx5180 import KX5180

METHODS = [
    "__init__",
    "_KX5180__check_crc",
    "_KX5180__cal_crc",
    "_KX5180__read",
    "_KX5180__write_and_read",
    "show_device_version",
    "set_work_mode",
    "set_ouput_mode",
    "set_voltage_max",
    "set_out_voltage",
    "set_out_current",
    "set_new_addr",
    "restore_factory",
    "read_dev_status",
    "_KX5180__read_device_version",
    "check_port_available",
    "open",
    "close",
]
CONSTANTS = {
    "_KX5180__CMD_TEMPLATE": (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,),
    "_KX5180__CMD_WORD_SET_WORK_MODE": 0x20,
    "_KX5180__CMD_WORD_SET_OUT_MODE": 0x21,
    "_KX5180__CMD_WORD_SET_MAX_OUT_VOLTAGE": 0x22,
    "_KX5180__CMD_WORD_SET_OUT_VOLTAGE": 0x23,
    "_KX5180__CMD_WORD_SET_OUT_CURRENT": 0x24,
    "_KX5180__CMD_WORD_SET_NEW_ADDR": 0x25,
    "_KX5180__CMD_WORD_READ_DEV_REAL_STATUS": 0x26,
    "_KX5180__CMD_WORD_READ_DEV_VERSION": 0x31,
    "_KX5180__CMD_WORD_RESTORE_FACTORY": 0x32,
    "_KX5180__CMD_WORD_DEV_RETURN": 0x12,
    "_KX5180__CMD_LENGTH": 26,
}

# name -> (signature text, annotations)
SIGNATURES = {
    "__init__": ("(self, serial_port: 'str')", {"serial_port": "str"}),
    "_KX5180__check_crc": ("(self, data: 'list') -> 'bool'", {"data": "list", "return": "bool"}),
    "_KX5180__cal_crc": ("(self, data: 'list') -> 'None'", {"data": "list", "return": "None"}),
    "_KX5180__read": ("(self)", {}),
    "_KX5180__write_and_read": ("(self, cmd: 'bytes')", {"cmd": "bytes"}),
    "show_device_version": ("(self) -> 'dict'", {"return": "dict"}),
    "set_work_mode": ("(self, mode='remote') -> 'bool'", {"return": "bool"}),
    "set_ouput_mode": ("(self, mode='off') -> 'bool'", {"return": "bool"}),
    "set_voltage_max": ("(self, voltage: 'float') -> 'bool'", {"voltage": "float", "return": "bool"}),
    "set_out_voltage": ("(self, voltage: 'float') -> 'bool'", {"voltage": "float", "return": "bool"}),
    "set_out_current": ("(self, current: 'float') -> 'bool'", {"current": "float", "return": "bool"}),
    "set_new_addr": ("(self, address: 'int') -> 'bool'", {"address": "int", "return": "bool"}),
    "restore_factory": ("(self) -> 'bool'", {"return": "bool"}),
    "read_dev_status": ("(self) -> 'dict'", {"return": "dict"}),
    "_KX5180__read_device_version": ("(self)", {}),
    "check_port_available": ("(self) -> 'bool'", {"return": "bool"}),
    "open": ("(self) -> 'bool'", {"return": "bool"}),
    "close": ("(self)", {}),
}


def test_module_namespace_holds_exactly_the_six_globals_in_order():
    names = [k for k in vars(kx5180) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["platform", "serial", "time", "subprocess", "binascii", "KX5180"]
    assert kx5180.serial is sys.modules["serial"]
    assert kx5180.__doc__.startswith("\nBasic Usage:\n    kx5100 = KX5180('/dev/ttyUSB0')\n")
    assert kx5180.__doc__.endswith("        kx5100.set_work_mode('local')\n")


def test_class_dict_order_and_constants():
    keys = list(KX5180.__dict__)
    assert keys[: 1 + len(CONSTANTS) + len(METHODS)] == ["__module__", *CONSTANTS, *METHODS]
    for name, value in CONSTANTS.items():
        assert getattr(KX5180, name) == value and type(getattr(KX5180, name)) is type(value)
    assert KX5180.__bases__ == (object,)
    assert (KX5180.__module__, KX5180.__qualname__, KX5180.__doc__) == ("kx5180", "KX5180", None)
    with pytest.raises(AttributeError):
        KX5180.__CMD_LENGTH  # noqa: B018 - not mangled outside a class body


@pytest.mark.parametrize("stored", METHODS)
def test_method_objects_behave_like_functions(stored):
    func = KX5180.__dict__[stored]
    written = stored.replace("_KX5180", "")
    text, annotations = SIGNATURES[stored]
    assert func.__name__ == written
    assert func.__qualname__ == "KX5180." + written
    assert func.__module__ == "kx5180"
    assert func.__annotations__ == annotations
    assert list(func.__annotations__) == list(annotations)
    assert func.__kwdefaults__ is None
    assert str(inspect.signature(func)) == text
    assert repr(func).startswith(f"<function KX5180.{written} at 0x")
    obj = KX5180("COM3")
    bound = getattr(obj, stored)
    assert bound.__self__ is obj and bound.__func__ is func
    assert str(inspect.signature(bound)) == text.replace("(self, ", "(").replace("(self)", "()")


def test_defaults_and_docstrings():
    defaults = {m: KX5180.__dict__[m].__defaults__ for m in METHODS}
    assert defaults.pop("set_work_mode") == ("remote",)
    assert defaults.pop("set_ouput_mode") == ("off",)
    assert set(defaults.values()) == {None}
    assert KX5180.close.__doc__ is None
    assert (
        KX5180.open.__doc__ == " open the serial port\n        :return bool: True if open sucess, else False\n        "
    )
    assert KX5180._KX5180__read.__doc__ == "\n        Read serial data\n        "
    assert all(KX5180.__dict__[m].__doc__ for m in METHODS if m != "close")


def plain(stored):
    return plain_driver.KX5180.__dict__[stored]


def params_after_self(stored):
    return list(inspect.signature(plain(stored)).parameters.values())[1:]


@pytest.mark.parametrize("stored", METHODS)
def test_methods_are_python_functions_of_the_plain_shape(stored):
    func, twin = KX5180.__dict__[stored], plain(stored)
    assert type(func) is types.FunctionType and inspect.isfunction(func)
    assert func.__globals__ is vars(kx5180)
    for attr in ("__name__", "__qualname__", "__defaults__", "__kwdefaults__", "__annotations__"):
        assert getattr(func, attr) == getattr(twin, attr), attr
    code, twin_code = func.__code__, twin.__code__
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount, code.co_flags & 0x0C) == (
        twin_code.co_argcount,
        twin_code.co_posonlyargcount,
        twin_code.co_kwonlyargcount,
        twin_code.co_flags & 0x0C,
    )
    assert code.co_varnames[: code.co_argcount] == twin_code.co_varnames[: twin_code.co_argcount]
    assert str(inspect.signature(func)) == str(inspect.signature(twin))
    bound = getattr(KX5180("COM3"), stored)
    assert inspect.ismethod(bound) and type(bound) is types.MethodType
    assert str(inspect.signature(bound)) == str(inspect.signature(getattr(plain_driver.KX5180("COM3"), stored)))


@pytest.mark.parametrize("stored", METHODS)
def test_methods_take_weak_references_and_attributes(stored):
    func = KX5180.__dict__[stored]
    assert weakref.ref(func)() is func
    obj = KX5180("COM3")
    ref = weakref.WeakMethod(getattr(obj, stored))
    assert ref() == getattr(obj, stored) and ref().__func__ is func
    del obj
    gc.collect()
    assert ref() is None
    func.slot_id = 7
    try:
        assert getattr(KX5180("COM3"), stored).slot_id == 7 and func.__dict__ == {"slot_id": 7}
    finally:
        del func.slot_id


@pytest.mark.parametrize("stored", METHODS)
def test_methods_pickle_and_copy_as_plain_functions_do(stored):
    def outcome(func):
        try:
            return pickle.loads(pickle.dumps(func)) is func
        except (pickle.PicklingError, AttributeError) as e:
            return type(e)

    func = KX5180.__dict__[stored]
    assert outcome(func) == outcome(plain(stored))
    assert copy.deepcopy(func) is func


def autospec_outcomes(cls, stored, counts):
    """For each argument count, whether an autospecced instance accepts the call."""
    outcomes = []
    for n in counts:
        spec = (
            mock.create_autospec(cls)
            if stored == "__init__"
            else getattr(mock.create_autospec(cls, instance=True), stored)
        )
        try:
            spec(*range(n))
            outcomes.append("accepted")
        except TypeError as e:
            outcomes.append(str(e))
    return outcomes


@pytest.mark.parametrize("stored", METHODS)
def test_autospec_enforces_each_signature(stored):
    n = len(params_after_self(stored))
    counts = [0, n, n + 1, n + 2]
    got = autospec_outcomes(KX5180, stored, counts)
    assert got == autospec_outcomes(plain_driver.KX5180, stored, counts)
    assert got[1] == "accepted" and got[3] != "accepted"


def binding_failures():
    """Calls that no method of the shape can bind, worded by the interpreter."""
    cases = []
    for stored in METHODS:
        params = params_after_self(stored)
        shapes = [((), {}), ((1,) * (len(params) + 2), {}), ((1,), {"bogus": 2}), ((1,), {"self": 2})]
        for p in params:
            shapes += [((1, 2), {p.name: 3}), ((), {p.name: 3})]
            if p.default is p.empty:
                shapes.append(((1,), {}))
        for args, kwargs in shapes:
            cases.append(pytest.param(stored, args, kwargs, id=f"{stored}-{len(args)}-{'-'.join(kwargs)}"))
    return cases


@pytest.mark.parametrize("stored,args,kwargs", binding_failures())
def test_binding_errors_are_worded_as_the_interpreter_words_them(stored, args, kwargs):
    with pytest.raises(TypeError) as expected:
        plain(stored)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        KX5180.__dict__[stored](*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("stored", METHODS)
def test_native_bodies_refuse_a_wrong_argument_count(stored):
    native = KX5180.__dict__[stored].__closure__[0].cell_contents
    assert native.__name__ == KX5180.__dict__[stored].__name__  # each method got its own body
    with pytest.raises(TypeError, match=r"takes exactly \d argument"):
        native(*range(len(params_after_self(stored)) + 2))


def test_tracebacks_show_the_line_of_the_installed_source():
    with pytest.raises(TypeError) as err:
        KX5180("c").set_new_addr(True)
    where = traceback.extract_tb(err.value.__traceback__)[-1]
    assert (where.filename, where.name, where.line) == (
        plain_driver.SOURCE,
        "set_new_addr",
        "return native_set_new_addr(self, address)",
    )
    with open(plain_driver.SOURCE, encoding="utf-8") as source:
        assert source.readlines()[where.lineno - 1].strip() == where.line


def test_the_installed_source_is_the_one_built_in():
    # Tracebacks show the installed copy, the module runs its built-in one:
    # an edit of the copy (a line added, a docstring changed) must show.
    assert kx5180.__doc__ == plain_driver.__doc__
    assert list(KX5180.__dict__) == list(plain_driver.KX5180.__dict__)
    for name, twin in vars(plain_driver.KX5180).items():
        if isinstance(twin, types.FunctionType):
            func = KX5180.__dict__[name]
            assert (func.__code__, func.__doc__) == (twin.__code__, twin.__doc__), name
        elif not name.startswith("__"):
            assert KX5180.__dict__[name] == twin, name


def test_every_parameter_binds_by_keyword_self_included(clock):
    from conftest import FakePort, answering, frame

    obj = KX5180(serial_port="COM3")
    obj.ser = FakePort(answering(frame()))
    assert KX5180.set_work_mode(self=obj, mode="local") is True
    assert obj.ser.written[-1][3] == 0


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: KX5180(None), "Argument 'serial_port' has incorrect type (expected str, got NoneType)"),
        (lambda: KX5180(b"COM3"), "Argument 'serial_port' has incorrect type (expected str, got bytes)"),
        (
            lambda: KX5180(type("S", (str,), {})("COM3")),
            "Argument 'serial_port' has incorrect type (expected str, got S)",
        ),
        (lambda: KX5180("c")._KX5180__cal_crc((1, 2)), "Argument 'data' has incorrect type (expected list, got tuple)"),
        (lambda: KX5180("c").set_new_addr(True), "Argument 'address' has incorrect type (expected int, got bool)"),
        (lambda: KX5180("c").set_new_addr(6.0), "Argument 'address' has incorrect type (expected int, got float)"),
        (lambda: KX5180("c").set_out_voltage("1.2"), "must be real number, not str"),
        (lambda: KX5180("c").set_out_current(None), "must be real number, not NoneType"),
    ],
)
def test_argument_checks(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


def test_new_object_state():
    obj = KX5180("/dev/ttyUSB0")
    assert vars(obj) == {
        "port": "/dev/ttyUSB0",
        "_KX5180__addr": 255,
        "_KX5180__product_model": "",
        "_KX5180__product_number": "",
        "_KX5180__soft_version": 0,
    }
    assert not hasattr(obj, "ser")
    with pytest.raises(AttributeError):
        obj.close()


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, cwd="/")


def test_import_prints_nothing_and_is_cached():
    result = run_python("""
        import kx5180, importlib
        assert importlib.import_module("kx5180") is kx5180
        assert not hasattr(kx5180, "kx5100") and not hasattr(kx5180, "opat_port")
    """)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_import_without_pyserial_fails_and_registers_nothing():
    result = run_python("""
        import sys
        sys.modules["serial"] = None
        try:
            import kx5180
        except ModuleNotFoundError as e:
            assert e.name == "serial", e
            assert "kx5180" not in sys.modules
        else:
            raise SystemExit("imported")
        del sys.modules["serial"]
        import kx5180
        print(sorted(k for k in vars(kx5180) if not k.startswith("__")))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['KX5180', 'binascii', 'platform', 'serial', 'subprocess', 'time']"


def test_subclass_overrides_are_used_through_the_object(clock):
    from conftest import frame

    class Audited(KX5180):
        seen = []

        def _KX5180__write_and_read(self, cmd):
            self.seen.append(list(cmd))
            return frame()

    obj = Audited("COM3")
    assert obj.restore_factory() is True
    assert Audited.seen[0][:3] == [0xAA, 0xFF, 0x32]
