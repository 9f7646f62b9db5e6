"""The light on an instrument of the virtual bench, switched by the tools that
need it changed (a dark reference, a sweep of power) where no one stands at
the bench: through zopy.sim, which only the virtual build has."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from types import ModuleType
from typing import Any


def virtual_bench() -> ModuleType | None:
    """zopy.sim on the virtual build, None on a build against the maker's library."""
    try:
        from . import sim
    except ImportError:
        return None
    return sim


def current_light(sim: ModuleType, serial: str) -> dict[str, Any]:
    """The light on ``serial`` as keywords that :func:`zopy.sim.set_light` takes back."""
    return dict(sim.state(serial=serial)["light"])


@contextlib.contextmanager
def light_switched(sim: ModuleType, serial: str, **light: Any) -> Iterator[None]:
    """The light on ``serial`` changed as ``light`` asks (set_light's keywords),
    and put back as it was afterwards."""
    before = current_light(sim, serial)
    sim.set_light(**{**before, **light}, serial=serial)
    try:
        yield
    finally:
        sim.set_light(**before, serial=serial)


DARK = {"power_uw": 0.0, "p2_power_uw": 0.0}     #: the light switched off
