"""The one line that says what machine a benchmark ran on."""

import contextlib
import os
import platform


def machine():
    model = "unknown CPU"
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (
        f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, Python {platform.python_version()}"
    )
