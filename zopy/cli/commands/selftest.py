"""``zopy selftest``: the ADC checked with its test patterns."""

from __future__ import annotations

import argparse

from ... import selftest
from ..common import Opened

SUMMARY = "Check the ADC with its test patterns."


def add_arguments(parser: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace) -> int:
    with Opened(args.serial) as device:
        return 0 if selftest.run(device) else 1
