"""`kx5180 serve`: the units of a host as a SCPI instrument on a raw TCP
socket, an HTTP API with an event stream and a labgrid-style power
endpoint, and a live dashboard. Standard library only.

Modules: `options` (the command's arguments, which the command line's
parser reads without loading the rest), `server` (the command, start and
safe stop), `units` (one worker
per line, the readings hub, the poller and the watchdog), `scpi`, `http`,
`safety` (bind decision, token, Host and Origin checks), and `static/`
(the page)."""
