"""zopy scope's speed, measured in headless Chromium (not run by run_all.py: it needs a browser).

With the defaults (10 MS/s stream, low-pass, downsampling 10: 1 MS/s out, a
4096-sample trace drawn as a 1000-column envelope, a 2048-bin spectrum), the
server runs in a process of its own on 127.0.0.1 and the pages in Debian's
chromium (one browser process per page, driven by selenium):

- frames drawn per second in each page, with one page and with four
  (goals: at least 25, and at least 20 each);
- the median latency from the end of a block's read to the page's word that
  it has drawn that frame (a round trip: the server hears it after the page
  has painted; goal: at most 100 ms);
- the server's CPU (all of its threads, the virtual instrument's signal and
  filters included), with no page and with one (goal: at most 60 % of one core);
- Chromium's CPU per frame drawn, from the browser's own performance metrics
  (its main thread's task time, and the part of it spent laying out);
- with ``--soak S``: the server's resident memory over S seconds with one
  page open, after a minute's warm-up (goal: growth at most 5 MB over 10 min).

The machine is shared: ``uptime`` is printed with the figures. Run by hand:
``.venv/bin/python benchmarks/scope_in_browser.py [--seconds 20] [--soak 600]``
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GOALS = {"fps1": 25, "fps4": 20, "latency_ms": 100, "cpu": 60, "rss_mb": 5}


def serve(pages, warmup, seconds):
    """The child: serves the default bench until ``pages`` pages are open, waits
    ``warmup`` s, measures for ``seconds`` s and prints the figures as JSON."""
    from zopy import scope, sim
    from zopy.scope._server import ScopeServer, quiet_bokeh_logs
    quiet_bokeh_logs()
    sim.set_light(50.0)
    sim.set_logging(False)
    live = scope.Scope()
    server = ScopeServer(live, port=0).start()
    print(json.dumps({"url": server.url}), flush=True)
    deadline = time.monotonic() + 120
    while len(live.pages) < pages and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(warmup)
    watched = list(live.pages)
    print(json.dumps({"measuring": True}), flush=True)
    rendered = [page.rendered for page in watched]
    usage, rss, start = resource.getrusage(resource.RUSAGE_SELF), _rss(), time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - usage.ru_utime + after.ru_stime - usage.ru_stime) / elapsed
    latencies = [x for page, n in zip(watched, rendered)
                 for x in list(page.latencies)[-(page.rendered - n):] if page.rendered > n]
    print(json.dumps({
        "fps": [(page.rendered - n) / elapsed for page, n in zip(watched, rendered)],
        "latency_ms": 1e3 * statistics.median(latencies) if latencies else None,
        "cpu": 100 * cpu, "rss_growth_mb": (_rss() - rss) / 2**20, "seconds": elapsed}),
        flush=True)
    server.stop()
    live.close()


def _browser_times(browser):
    """Seconds the browser's main thread has spent on tasks, and on layout."""
    metrics = {m["name"]: m["value"] for m in browser.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
    return metrics["TaskDuration"], metrics["LayoutDuration"] + metrics["RecalcStyleDuration"]


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(pages, warmup, seconds):
    """Starts the server and ``pages`` browsers on it; returns the server's figures."""
    from selenium import webdriver
    child = subprocess.Popen([sys.executable, "-P", __file__, "--child", str(pages), str(warmup),
                              str(seconds)], stdout=subprocess.PIPE, text=True)
    browsers = []
    # Chromium's profiles and shared-memory files go where they are removed
    scratch = tempfile.TemporaryDirectory(prefix="zopy-chromium-")
    env = {**os.environ, "TMPDIR": scratch.name}
    try:
        url = json.loads(child.stdout.readline())["url"]
        for _ in range(pages):
            options = webdriver.ChromeOptions()
            options.binary_location = shutil.which("chromium")
            for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                         "--window-size=1300,1100"):
                options.add_argument(flag)
            browser = webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver"),
                                                                       env=env),
                                       options=options)
            browser.get(url)
            browser.execute_cdp_cmd("Performance.enable", {})
            browsers.append(browser)
        json.loads(child.stdout.readline())       # the measurement starts
        before = [_browser_times(browser) for browser in browsers]
        figures = json.loads(child.stdout.readline())
        after = [_browser_times(browser) for browser in browsers]
        if browsers:
            frames = [fps * figures["seconds"] for fps in figures["fps"]]
            # the pages in the server's order are not the browsers' order: totals
            total = sum(frames) or 1.0
            figures["browser_ms_per_frame"] = 1e3 * sum(a[0] - b[0] for a, b in zip(after, before)) / total
            figures["layout_ms_per_frame"] = 1e3 * sum(a[1] - b[1] for a, b in zip(after, before)) / total
        return figures
    finally:
        for browser in browsers:
            browser.quit()
        child.wait(60)
        scratch.cleanup()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0, help="each measurement")
    parser.add_argument("--soak", type=float, default=0.0, help="memory run, seconds (0: none)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        pages, warmup, seconds = args.child
        return serve(int(pages), float(warmup), float(seconds))
    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        sys.exit("needs Debian's chromium and chromium-driver (apt-get install chromium chromium-driver)")
    print("load before:", os.getloadavg())
    idle = measure(0, 5, args.seconds)
    print(f"no page:    server CPU {idle['cpu']:.0f} % of one core (reading 1 MS/s, making frames)")
    one = measure(1, 5, args.seconds)
    print(f"one page:   {one['fps'][0]:.1f} frames/s (goal >= {GOALS['fps1']}); median latency "
          f"{one['latency_ms']:.0f} ms (goal <= {GOALS['latency_ms']}); server CPU "
          f"{one['cpu']:.0f} % (goal <= {GOALS['cpu']}); Chromium {one['browser_ms_per_frame']:.1f} ms "
          f"of CPU a frame ({one['layout_ms_per_frame']:.1f} ms laying out)")
    four = measure(4, 5, args.seconds)
    print(f"four pages: {', '.join(f'{x:.1f}' for x in four['fps'])} frames/s each "
          f"(goal >= {GOALS['fps4']}); median latency {four['latency_ms']:.0f} ms; "
          f"server CPU {four['cpu']:.0f} %; Chromium {four['browser_ms_per_frame']:.1f} ms of CPU a frame "
          f"({four['layout_ms_per_frame']:.1f} ms laying out)")
    if args.soak:
        soak = measure(1, 60, args.soak)
        print(f"soak:       RSS growth {soak['rss_growth_mb']:.2f} MB over {args.soak:g} s with one "
              f"page at {soak['fps'][0]:.1f} frames/s (goal <= {GOALS['rss_mb']} MB over 600 s)")
    print("load after:", os.getloadavg())


if __name__ == "__main__":
    main()
