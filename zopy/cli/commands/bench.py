"""``zopy bench``: the virtual bench in force, shown, saved as a template, or a file checked."""

from __future__ import annotations

import argparse
import os
import pathlib
from types import ModuleType

from ..common import Failure, output
from ..options import add_force

SUMMARY = "The virtual bench (the instruments zopy simulates)."
TAKES_SERIAL = False


def add_arguments(parser: argparse.ArgumentParser) -> None:
    actions = parser.add_subparsers(title="actions", metavar="ACTION",
                                    parser_class=type(parser), required=True)
    actions.add_parser("show", help="the bench in force (ZOPY_BENCH or the default)",
                       description="Print the bench in force as a bench file."
                       ).set_defaults(run=run_show)
    save = actions.add_parser("save", help="a complete, commented template of the bench in force",
                              description="Write the bench in force as a complete bench file, "
                              "every key commented: a template to edit.")
    save.add_argument("file", type=pathlib.Path, metavar="FILE.toml")
    add_force(save, "FILE.toml")
    save.set_defaults(run=run_save)
    check = actions.add_parser("check", help="validate a bench file",
                               description="Check a bench file as ZOPY_BENCH would load it.")
    check.add_argument("file", type=pathlib.Path, metavar="FILE.toml")
    check.set_defaults(run=run_check)


def _sim() -> ModuleType:
    """zopy.sim, or a failure on a build against the maker's library (no bench)."""
    try:
        from ... import sim
    except ImportError:
        raise Failure("this build of zopy links against the maker's libzo: it has no "
                      "virtual bench") from None
    return sim


def _origin() -> str:
    path = os.environ.get("ZOPY_BENCH")
    return f"built from ZOPY_BENCH={path}" if path else "the default bench (ZOPY_BENCH is not set)"


def run_show(args: argparse.Namespace) -> None:
    sim = _sim()
    print(f"# The bench in force: {_origin()}.")
    print(sim.bench_toml(sim.describe_bench()), end="")


def run_save(args: argparse.Namespace) -> None:
    sim = _sim()
    with output(args.file, args.force, (".toml",)) as out:
        text = sim.bench_template(sim.describe_bench(), _origin())
        with open(out.path, "w", encoding="utf-8") as f:
            f.write(text)
    print(f"wrote {args.file}")


def run_check(args: argparse.Namespace) -> None:
    sim = _sim()
    before = sim.describe_bench()
    try:
        sim.load_bench(args.file)
        bench = sim.describe_bench()
    except sim.BenchFileError as exc:
        raise Failure(str(exc)) from None
    finally:
        sim.build_bench(before)
    instruments = bench["instrument"]
    serials = ", ".join(inst["serial"] for inst in instruments)
    overrides = len(bench["override"])
    print(f"{args.file}: a valid bench: {len(instruments)} instrument"
          f"{'' if len(instruments) == 1 else 's'}{f' ({serials})' if serials else ''}, "
          f"trigger timeout {bench['timeout']:g} s, "
          f"{'real-time pacing' if bench['realtime'] else 'unpaced'}, "
          f"{overrides or 'no'} scripted answer{'' if overrides == 1 else 's'}")
