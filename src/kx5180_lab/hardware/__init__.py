"""Tools for meeting real hardware: the session capture (`capture`) and
the self-test that learns what a unit does (`selftest`)."""
