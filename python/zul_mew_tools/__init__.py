"""Tools around the zul_mew extension: a virtual null-modem cable and the command line."""
