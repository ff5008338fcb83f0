"""The I/O board: the stations of a bus as lamps, live, in a terminal or a web browser."""
