"""Headless Chromium for the tests that look at pages: finding it, starting
windows of it, and waiting for what a page shows.

Without Debian's chromium and chromium-driver the tests that need them skip,
unless ZOPY_REQUIRE_BROWSER is set (as .ci/run does, which installs them):
then they fail, so that CI cannot pass without running them.
"""

import os
import shutil
import tempfile
import time

import pytest

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")

WAIT = 300.0   # s: a deadline for what a page shows on a busy machine, not a speed to meet

# Bokeh draws every view in a shadow root of its own: look through all of them.
FIND = """
function find(root, selector) {
    const hit = root.querySelector(selector);
    if (hit) return hit;
    for (const el of root.querySelectorAll('*'))
        if (el.shadowRoot) { const found = find(el.shadowRoot, selector); if (found) return found; }
    return null;
}
"""


def require_chromium():
    """selenium's webdriver, once Chromium and its driver are found; skips the
    test (or the module, called at import) without them, or fails under
    ZOPY_REQUIRE_BROWSER."""
    webdriver = pytest.importorskip("selenium.webdriver")
    if not (CHROMIUM and CHROMEDRIVER):
        reason = "needs Debian's chromium and chromium-driver (apt-get install chromium chromium-driver)"
        if os.environ.get("ZOPY_REQUIRE_BROWSER"):
            raise RuntimeError(f"ZOPY_REQUIRE_BROWSER is set, but this {reason}")
        pytest.skip(reason, allow_module_level=True)
    return webdriver


def wait_for(condition, what):
    """Polls ``condition()`` until it is true; fails naming ``what`` after WAIT seconds."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"the page never showed {what}")


@pytest.fixture(scope="module")
def chromium():
    """A factory of headless Chromium windows (one process each), closed at the end."""
    webdriver = require_chromium()
    drivers = []
    # No sanitizer runtime (make check preloads one into Python) in the browser;
    # its profiles and shared-memory files in a folder removed at the end, not
    # left in the system's /tmp (tens of MB each).
    scratch = tempfile.mkdtemp(prefix="zopy-chromium-")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS",
                                                             "UBSAN_OPTIONS", "PYTHONMALLOC")}
    env["TMPDIR"] = scratch

    def start():
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1300,1100"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        service = webdriver.ChromeService(executable_path=CHROMEDRIVER, env=env)
        driver = webdriver.Chrome(service=service, options=options)
        drivers.append(driver)
        return driver

    yield start
    for driver in drivers:
        driver.quit()
    shutil.rmtree(scratch, ignore_errors=True)
