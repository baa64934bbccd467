"""Drives a simulated supply through the module's Basic Usage sequence.

Starts kx5180-sim on a pseudo-terminal (paced like a real 4800-baud line,
with a 10 ohm load), runs the sequence of the module docstring against it,
prints what the supply reports, and stops the simulator.
"""

import os
import shutil
import subprocess
import sys
import sysconfig

import kx5180


def simulator() -> str:
    beside = os.path.join(sysconfig.get_path("scripts"), "kx5180-sim")
    found = beside if os.path.exists(beside) else shutil.which("kx5180-sim")
    if not found:
        sys.exit("kx5180-sim is not installed: run 'pip install .' first")
    return found


def main() -> int:
    sim = subprocess.Popen([simulator(), "--load-ohms", "10"], stdout=subprocess.PIPE, text=True)
    try:
        port = sim.stdout.readline().strip()
        print(f"simulated supply on {port}")
        kx5100 = kx5180.KX5180(port)
        if not kx5100.open():
            print(f"open serial port:{port} failed!")
            return 1
        print("identity:", kx5100.show_device_version())

        # turn on Power
        kx5100.set_work_mode("remote")
        kx5100.set_out_voltage(1.222)  # set voltage 1.222V
        kx5100.set_out_current(0.888)  # set current 0.888A
        kx5100.set_ouput_mode("on")  # turn on Power

        # read the device real status
        status = kx5100.read_dev_status()
        print("status:")
        for key, value in (status or {}).items():
            print(f"    {key:16} {value!r}")

        # turn off Power
        kx5100.set_ouput_mode("off")
        kx5100.set_work_mode("local")
        print("output off, control back to the front panel:", kx5100.read_dev_status())
        kx5100.close()
        return 0 if status else 1
    finally:
        sim.terminate()
        sim.wait()


if __name__ == "__main__":
    sys.exit(main())
