"""Run the kx5180 extension module as the main program (the kx5180-demo command).

``python -m`` cannot execute an extension module, so this launcher creates
the module from its import spec, names it "__main__" before its exec step
and then runs that step, which carries out the demonstration sequence.
"""

import importlib.util
import sys


def main() -> int:
    spec = importlib.util.find_spec("kx5180")
    if spec is None or spec.loader is None:
        print("kx5180-demo: the kx5180 module is not installed", file=sys.stderr)
        return 1
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
