"""The subcommands of ``zul-mew``, one module each. A module adds its parser with
``add_to(commands)`` and sets ``run``, which takes the parsed arguments and returns
the exit status; the entry point's ``COMMANDS`` names the modules in the order
``--help`` shows them."""
