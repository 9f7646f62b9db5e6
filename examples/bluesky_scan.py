"""Bluesky with a virtual KV310: count, a scan of the light, and a recording run.

Runs three plans on a RunEngine: ``count`` of the detector's power and
noise, a ``scan`` of the virtual light's power (a soft signal whose setter
puts the light on the bench) and a run that records 0.1 s of the filtered
stream into an HDF5 file in ``OUTPUT_FOLDER``. The recording's documents
name the file; the example finds it from them and opens it. With a real
instrument, scan your own light source and drop the bench set-up.

Usage: ``python examples/bluesky_scan.py [OUTPUT_FOLDER]``
"""

import pathlib
import sys
import urllib.parse
from typing import Any

from bluesky import RunEngine
from bluesky.plans import count, scan
from ophyd_async.core import soft_signal_rw
from ophyd_async.plan_stubs import ensure_connected

from zopy import sim
from zopy.bluesky import KV310, RecordingSettings, record_stream
from zopy.record import open_dataset


def run(out: pathlib.Path) -> int:
    out.mkdir(parents=True, exist_ok=True)
    documents: list[tuple[str, dict[str, Any]]] = []
    RE = RunEngine({})

    def collect(name: str, doc: Any) -> None:
        documents.append((name, doc))

    light = soft_signal_rw(float, 0.0, name="light", units="uW",
                           setter=lambda uw: sim.set_light(uw))
    det = KV310(name="kv310")
    RE(ensure_connected(det))
    try:
        RE(count([det], num=3), collect)
        RE(scan([det], light, 20.0, 180.0, 5), collect)
        RE(record_stream(det, RecordingSettings(out, seconds=0.1, filter="lowpass",
                                                cutoff=100e3, downsampling=10)), collect)
    finally:
        det.close()

    for name, doc in documents:
        if name == "event":
            data = doc["data"]
            light_text = f"light {data['light']:6.1f} µW, " if "light" in data else ""
            print(f"event {doc['seq_num']}: {light_text}power {data.get('kv310-power', 0):8.3f} µW, "
                  f"noise {data.get('kv310-noise', 0):.4f} µW")
    resource = next(doc for name, doc in documents if name == "stream_resource")
    path = urllib.parse.urlparse(resource["uri"]).path
    recording = open_dataset(path)
    print(f"recording run: {resource['uri']} ({resource['parameters']['dataset']}), "
          f"{recording.sizes['time']} samples, mean {float(recording.samples.mean()):.3f} µW")
    return 0


if __name__ == "__main__":
    sys.exit(run(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "demo-output")))
