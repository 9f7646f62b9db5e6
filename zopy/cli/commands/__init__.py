"""One module per command of the ``zopy`` command line, named as the command.

Each has its ``SUMMARY``, ``add_arguments(parser)`` and ``run(args)``
(``bench`` sets a ``run`` per action); :mod:`zopy.cli` imports them by name.
"""

# in the order --help lists them
NAMES = ("list", "info", "acquire", "record", "psd", "linearity", "cmrr", "plot", "selftest", "bench",
         "scope")
