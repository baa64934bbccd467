"""The driver class's own source, as installed beside the module, run as
plain Python with bodies that do nothing. The tests hold the driver's
methods against these, as the running interpreter makes and words them."""

import os

import kx5180

SOURCE = os.path.join(os.path.dirname(kx5180.__file__), "kx5180", "kx5180.class.py")

with open(SOURCE, encoding="utf-8") as _file:
    exec(compile(_file.read(), SOURCE, "exec"))
_factory = _driver_class.__code__  # noqa: F821 - defined by the source
_driver_class(**{name: lambda *args: None for name in _factory.co_varnames[: _factory.co_kwonlyargcount]})  # noqa: F821
del _factory
del _driver_class  # noqa: F821
