"""`kx5180 serve`'s options, apart from the server itself, so that the
command line's parser can offer them without loading the server."""

from __future__ import annotations

import argparse

from ..cli.shared import add_trip_arguments

EPILOG = """\
Every change needs the token printed at start (the dashboard link carries
it); the power token printed with it only switches outputs through
/rest/N. Only this machine can connect unless --bind names another
address; SCPI clients from elsewhere may then only read, unless
--allow-remote-control. On Ctrl-C, SIGTERM or SIGHUP every output the
server switched on goes off (unless --keep-on) and each unit is handed back
to its front panel; exit status 0 after Ctrl-C, 128 + the signal after
SIGTERM (143) or SIGHUP (129), 1 when a unit could not be left safe.
A trip switches that unit's output off and keeps it off until it is
cleared (OUTP:PROT:CLE, or POST {"clear_trip": true}); the others go on.
"""


HELP = "serve the units over SCPI (TCP) and HTTP, with a live dashboard, until stopped"


def add_arguments(p: argparse.ArgumentParser) -> None:
    """`serve`'s arguments, onto the command line's subcommand parser."""
    p.epilog = EPILOG
    p.formatter_class = argparse.RawDescriptionHelpFormatter
    p.add_argument(
        "ports",
        nargs="*",
        metavar="PORT[@ADDRESS]",
        help="serial ports to serve (or rfc2217://HOST:PORT, socket://HOST:PORT); PORT@ADDRESS picks units "
        "of a shared line (not with --sim)",
    )
    p.add_argument("--units", metavar="N|A,B,...", help="with --sim: simulate N units (or these addresses) on one line")
    p.add_argument("--bind", default="127.0.0.1", metavar="HOST", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--scpi-port", type=int, default=5025, metavar="N", help="SCPI port (default 5025; 0 picks one)")
    p.add_argument("--http-port", type=int, default=8080, metavar="N", help="HTTP port (default 8080; 0 picks one)")
    p.add_argument("--no-http", action="store_true", help="serve SCPI only")
    p.add_argument("--no-scpi", action="store_true", help="serve HTTP only")
    p.add_argument("--max-voltage", type=float, metavar="V", help="refuse voltages above V, for every client")
    p.add_argument("--max-current", type=float, metavar="A", help="refuse currents above A, for every client")
    p.add_argument(
        "--allow-remote-control",
        action="store_true",
        help="let SCPI clients on other machines change settings (with a non-loopback --bind)",
    )
    p.add_argument(
        "--allow-host", action="append", default=[], metavar="NAME", help="a host name the web page may be reached by"
    )
    p.add_argument("--token", metavar="TEXT", help="the control token, for every change (default: a new random one)")
    p.add_argument(
        "--power-token",
        metavar="TEXT",
        help="a token that only switches outputs through /rest/N, for labgrid (default: a new random one)",
    )
    p.add_argument("--keep-on", action="store_true", help="leave the outputs as they are when the server stops")
    p.add_argument(
        "--watchdog",
        type=float,
        metavar="S",
        help="switch outputs off when no client that may act (with either token, or SCPI that may change settings) "
        "has spoken for S seconds",
    )
    p.add_argument(
        "--poll", type=float, default=0.5, metavar="S", help="seconds between readings for the dashboard (default 0.5)"
    )
    p.add_argument(
        "--max-clients",
        type=int,
        default=32,
        metavar="N",
        help="connections per protocol, as many again for event streams (default 32)",
    )
    p.add_argument(
        "--idle-timeout",
        type=float,
        default=600.0,
        metavar="S",
        help="close a silent SCPI client after S seconds (default 600)",
    )
    p.add_argument(
        "--host-name",
        metavar="NAME",
        help="this host's name in each unit's name across hosts, HOST/SERIAL (default: the machine's name)",
    )
    p.add_argument(
        "--metrics-token",
        metavar="TEXT",
        help="/metrics (Prometheus) only with Authorization: Bearer TEXT (default: readable by whoever may connect)",
    )
    p.add_argument(
        "--mqtt",
        metavar="URL",
        help="publish each unit on an MQTT broker, mqtt://[user:password@]host[:port] (needs kx5180[mqtt])",
    )
    p.add_argument("--mqtt-tls", action="store_true", help="reach the broker over TLS (default port 8883)")
    p.add_argument("--mqtt-ca", metavar="FILE", help="the CA certificates that sign the broker's (implies --mqtt-tls)")
    p.add_argument(
        "--mqtt-control",
        action="store_true",
        help="take changes on kx5180/SERIAL/set (within the same limits); without it they are refused",
    )
    p.add_argument("--max-line", type=int, default=4096, metavar="BYTES", help="longest SCPI line (default 4096)")
    add_trip_arguments(
        p,
        "switch that unit's output off and hand it back to its front panel once a reading is above; "
        "the server keeps serving, and refuses to switch it on again until the trip is cleared",
    )
