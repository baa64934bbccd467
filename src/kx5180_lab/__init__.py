"""Lab toolkit around the kx5180 driver: what a lab engineer does with a
bench supply every day, built on the driver class without changing it."""
