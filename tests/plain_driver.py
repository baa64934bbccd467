"""The driver class's own source, as installed beside the module, run as
plain Python with bodies that do nothing. The tests hold the driver's
methods against these, as the running interpreter makes and words them."""

import os

import kx5180

SOURCE = os.path.join(os.path.dirname(kx5180.__file__), "kx5180", "kx5180.class.py")

with open(SOURCE, encoding="utf-8") as _file:
    exec(compile(_file.read(), SOURCE, "exec"))
_driver_class(*[lambda *args: None] * 18)  # noqa: F821 - defined by the source
del _driver_class  # noqa: F821
