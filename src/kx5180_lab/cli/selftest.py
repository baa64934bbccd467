"""`kx5180 selftest PORT`: the self-test (`kx5180_lab.hardware.selftest`)
run from the command line, its report and capture written beside each
other."""

from __future__ import annotations

import argparse
import json
import os
import sys
from datetime import UTC, datetime

from ..errors import SupplyError
from ..hardware.capture import Capture
from ..hardware.selftest import FORMAT, SelfTest, host
from ..stops import deferred, interruption, stop_signals
from ..target import Target
from ..version import version
from .parser import DEFAULT_REPORT
from .session import open_supply
from .shared import EXIT_FAILED, EXIT_OK, UsageError


def run(args: argparse.Namespace, target: Target) -> int:
    if args.with_output and (args.max_voltage is None or args.max_current is None):
        raise UsageError("selftest: --with-output needs --max-voltage and --max-current")
    for name in ("max_voltage", "max_current"):
        value = getattr(args, name)
        if value is not None and not (0 < value < float("inf")):
            raise UsageError(f"selftest: --{name.replace('_', '-')} needs a number > 0")
    if args.reads < 1:
        raise UsageError("selftest: --reads needs a number >= 1")
    report_path = args.report or DEFAULT_REPORT
    capture_path = getattr(args, "capture", None)
    own_capture = None
    if not capture_path:
        capture_path = os.path.splitext(report_path)[0] + ".jsonl"
        try:
            own_capture = Capture(capture_path, port=target.name).everywhere()
        except OSError as e:
            raise UsageError(f"selftest: cannot write {capture_path}: {e.strerror or e}") from e
    try:
        with open(report_path, "a", encoding="utf-8"):
            pass
    except OSError as e:
        if own_capture is not None:
            own_capture.close()
        raise UsageError(f"selftest: cannot write {report_path}: {e.strerror or e}") from e

    def say(line: str) -> None:
        print(line, flush=True)

    # The toolkit's limits would stand in the way of putting back a
    # setpoint above them; --with-output enforces its own.
    psu = open_supply(target, remote=False, keep_on_exit=True)
    test = SelfTest(psu, args, say)
    started = datetime.now(UTC).isoformat(timespec="seconds")
    interrupted: BaseException | None = None
    error: str | None = None
    try:
        # SIGTERM and SIGHUP take the path of Ctrl-C while the unit is ours,
        # so that it is still put back as it was found.
        with stop_signals():
            try:
                with psu:
                    try:
                        test.run()
                    except KeyboardInterrupt as e:
                        interrupted = e
                    except SupplyError as e:
                        error = str(e)
                        test.check("unexpected failure", False, error)
                    finally:
                        # A signal during the putting back waits for its
                        # end (a second impatient Ctrl-C must not leave the
                        # unit half restored), then ends the self-test.
                        with deferred() as held:
                            test.restore()
                        if held.signum and interrupted is None:
                            interrupted = interruption(held.signum)
            except SupplyError as e:
                error = str(e)
                test.check("open", False, error)
    finally:
        if own_capture is not None:
            own_capture.close()
        passed = bool(test.checks) and all(c["passed"] for c in test.checks) and interrupted is None
        report = {
            "format": FORMAT,
            "version": 1,
            "tool": version(),
            "port": target.name,
            "started": started,
            "host": host(),
            "strict_replies": psu.strict_replies,
            "passed": passed,
            "interrupted": interrupted is not None,
            **test.report,
            "checks": test.checks,
            "capture": capture_path,
        }
        with open(report_path, "w", encoding="utf-8") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
    failed = [c["name"] for c in test.checks if not c["passed"]]
    print(f"report written to {report_path}, capture to {capture_path}", flush=True)
    if interrupted is not None:
        interrupted.add_note("the self-test was cut short; the unit was put back as found (see the report)")
        raise interrupted
    if failed:
        print(f"{len(failed)} check(s) failed: " + ", ".join(failed), file=sys.stderr, flush=True)
        return EXIT_FAILED
    return EXIT_OK
