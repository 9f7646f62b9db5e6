"""A screenshot of zopy scope on the virtual bench (make demo and make screenshot run it).

Serves the live view of a virtual balanced unit on 127.0.0.1 (1 mW on P1 and
a little less on P2, from a laser with -130 dB/Hz of intensity noise; the
total power typed in, so the page shows the shot-noise level and the
clearance), opens it in headless Chromium and saves the page as a PNG. It
needs Debian's chromium and chromium-driver and selenium; without them, or
when Chromium fails or the page cannot draw, it says so in one line and exits
0, so that the demo runs on any machine. It waits as long as the page needs.

Usage: ``python examples/scope_screenshot.py [OUTPUT.png]`` (default demo-output/scope.png)
"""

import os
import pathlib
import shutil
import sys
import tempfile
import time

from zopy import scope, sim

SERIAL = "KV31B-DEMO"
FRAMES = 40          # drawn before the picture is taken: a settled average
PATIENCE = 600.0     # s: a busy machine may take long to start Chromium and draw; no speed is asked
SKIPPED = ("scope screenshot skipped: it needs selenium and Debian's chromium and "
           "chromium-driver (apt-get install chromium chromium-driver)")


def main(argv: list[str]) -> int:
    out = pathlib.Path(argv[0] if argv else "demo-output/scope.png")
    chromium, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
        from selenium.common.exceptions import WebDriverException
    except ImportError:
        print(SKIPPED)
        return 0
    if not (chromium and driver_path):
        print(SKIPPED)
        return 0
    from zopy.scope._server import quiet_bokeh_logs
    quiet_bokeh_logs()
    out.parent.mkdir(parents=True, exist_ok=True)
    sim.attach(SERIAL, balanced=True)
    sim.set_light(1000.0, serial=SERIAL, p2_power_uw=985.0, rin_db_hz=-130.0)
    with scope.Scope(SERIAL) as live:
        live.request("total_power_uw", 1985.0)
        server = scope.serve(scope=live, port=0, open_browser=False, block=False)
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1300,1100", "--hide-scrollbars"):
            options.add_argument(flag)
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        # Chromium's profile and shared-memory files go where they are removed
        scratch = tempfile.TemporaryDirectory(prefix="zopy-chromium-")
        env["TMPDIR"] = scratch.name
        browser = None
        try:
            browser = webdriver.Chrome(service=webdriver.ChromeService(driver_path, env=env),
                                       options=options)
            browser.set_page_load_timeout(PATIENCE)
            browser.get(server.url)
            deadline = time.monotonic() + PATIENCE
            while sum(page.rendered for page in list(live.pages)) < FRAMES:
                if time.monotonic() > deadline:
                    print(f"scope screenshot skipped: the page drew fewer than {FRAMES} frames "
                          f"in {PATIENCE:g} s")
                    return 0
                time.sleep(0.1)
            browser.save_screenshot(str(out))
        except WebDriverException as exc:
            print(f"scope screenshot skipped: Chromium failed "
                  f"({(exc.msg or type(exc).__name__).splitlines()[0]})")
            return 0
        finally:
            server.stop()
            if browser is not None:
                browser.quit()
            scratch.cleanup()
    print(f"wrote {out}: the scope's page on a virtual balanced unit")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
