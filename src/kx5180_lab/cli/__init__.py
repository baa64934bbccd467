"""The `kx5180` command line: one module per subcommand (`ports`, `scan`,
`identify`, `status`, `set`, `ramp`, `log`, `run`, `charge`, `plot`,
`selftest`, `serve`, `sim`), each with a `run`, imported only once its command is parsed;
`parser` defines every command's arguments, `shared` what the commands
share (targets, numbers, output, exit statuses), `session` the common
options, `program` the entry point.

Exit status: 0 done, 1 the supply did not answer, the line failed or a
check failed (and `charge` that ended at a maximum), 2 bad usage or a
refused value, 3 a trip switched the output off, 130 a ramp or an open cut
short by Ctrl-C (a `log` or `status --watch` stopped by Ctrl-C has done its
job: 0), 128 + the signal for any command stopped by SIGTERM (143) or
SIGHUP (129), after the same clean-up as Ctrl-C.
"""

from .program import main

__all__ = ["main"]
