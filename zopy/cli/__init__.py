"""The ``zopy`` command line (also ``python -m zopy``).

::

    zopy list
    zopy info [--samples N] [--wavelength NM] [--gain high|low] [--antialias on|off]
    zopy acquire OUTPUT [--samples N] [--raw] [--wavelength NM] [--gain G] [--antialias A]
                 [--trig-mode M --trig-port P] [--arm-time N] [--samples-per-trigger N]
    zopy record OUTPUT.h5 --seconds S [--dtype float32|float64] [--filter F] [--cutoff HZ]
                [--downsampling N] [--decimation N] [--units uW|mW|W] [--wavelength NM]
                [--gain G] [--antialias A] [--bits] [--force]
    zopy psd [INPUT] [--samples N] [--average N] [--wavelength NM] [--power UW]
             [--samplerate HZ] [--gain G] [--antialias A] [--band LOW HIGH]
             [--plot OUTPUT.png] [--db] [--output SPECTRUM.csv]
    zopy plot OUTPUT.png [--input FILE] [--samplerate HZ] [--samples N] [--gain G] [--antialias A]
    zopy selftest
    zopy bench show | save FILE.toml | check FILE.toml
    zopy scope [--port N] [--host ADDRESS] [--no-browser] [--folder DIR] [stream options of record]

Every command takes ``--serial TEXT`` (the first instrument whose serial
contains it), before or after the command's name. Without a command, ``python
-m zopy`` runs ``info``: open the instrument, print its identity, acquire a
block and print the mean optical power with its noise.

One module per command in :mod:`zopy.cli.commands`, each with its
``SUMMARY``, ``add_arguments(parser)`` and ``run(args)``; the shared options
are in :mod:`zopy.cli.options`. Commands raise, and :func:`main` alone turns every failure
into one line on stderr and a status (1, 2 for a wrong command line, 130 when
interrupted). Outputs are created before the first read, so a file that
cannot be written fails before any work.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from types import ModuleType
from typing import NoReturn

import zopy

from .. import _messages as messages
from .commands import NAMES
from .common import FORCE_HINT, PROG, Failure
from .options import add_serial

__all__ = ["main"]

class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line (and the exit status of 2)."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{self.prog}: {message} (see --help)", status=2) from None


def main(argv: list[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: sys.argv[1:]); returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if _without_a_command(argv):
        argv.insert(0, "info")     # plain `python -m zopy [options]` shows the instrument
    try:
        args = _parser().parse_args(argv)
        return args.run(args) or 0
    except SystemExit as exc:      # --help and --version
        return exc.code if isinstance(exc.code, int) else 0
    except BaseException as exc:   # noqa: BLE001 - one line, never a traceback
        message, status = _failure(exc)
        # what went wrong on the way out too (closing a file), on the same line
        return _fail("; ".join([message, *getattr(exc, "__notes__", ())]), status)


def _failure(exc: BaseException) -> tuple[str, int]:
    """(message, exit status) of what ended a command."""
    if isinstance(exc, Failure):
        return str(exc), exc.status
    if isinstance(exc, zopy.NoDeviceError):
        return messages.no_instrument(exc, None), 1
    if isinstance(exc, OSError):
        return messages.os_error(exc, overwrite_hint=FORCE_HINT), 1
    if isinstance(exc, KeyboardInterrupt):
        return "interrupted", 130
    if isinstance(exc, Exception):
        return messages.describe(exc), 1
    raise exc


def _fail(message: str, status: int = 1) -> int:
    message = " ".join(message.split())    # one line, whatever a library put in it
    print(message if message.startswith(PROG) else f"{PROG}: {message}", file=sys.stderr)
    return status


def _without_a_command(argv: list[str]) -> bool:
    """Whether argv, past a leading --serial, names no command and asks for no help."""
    i = 0
    while i < len(argv) and (argv[i] == "--serial" or argv[i].startswith("--serial=")):
        i += 2 if argv[i] == "--serial" else 1
    return i >= len(argv) or (argv[i].startswith("-") and argv[i] not in ("-h", "--help", "--version"))


def command(name: str) -> ModuleType:
    """The module of the command ``name``."""
    return importlib.import_module(f"{__name__}.commands.{name}")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Control and record the KV310 photodetector.")
    add_serial(parser, default=None)
    parser.add_argument("--version", action="version", version=f"%(prog)s {zopy.__version__}"
                        f" (libzo {'.'.join(map(str, zopy.version()))})")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", parser_class=_Parser)
    for name in NAMES:
        module = command(name)
        sub = commands.add_parser(name, help=module.SUMMARY, description=module.SUMMARY)
        if getattr(module, "TAKES_SERIAL", True):
            add_serial(sub)
        sub.set_defaults(run=getattr(module, "run", None))
        module.add_arguments(sub)
    return parser
