"""The safe instrument: one supply (`supply.Supply`) or several units on one
line (`bus.Bus`), built on the driver class without changing it."""
