"""``zopy list``: the instruments attached."""

from __future__ import annotations

import argparse

from ... import _messages as messages
from ..._photodiode import is_balanced
from ..common import Failure

SUMMARY = "List the instruments attached (serial, product)."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace) -> None:
    """Opens the instruments one after another (an open one is not found again),
    then closes them all: the library has no way to enumerate without opening."""
    devices, missing = messages.open_all(args.serial)
    try:
        if not devices:
            raise Failure(messages.no_instrument(missing, args.serial))
        for device in devices:
            print(f"{device.serial}\t{device.product}{' (balanced)' if is_balanced(device) else ''}")
    finally:
        for device in devices:
            device.close()
