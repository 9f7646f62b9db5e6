"""zopy scope in a Jupyter notebook, as README shows it: its cells run by a kernel
of this Python (nbclient), and in JupyterLab with the page drawn in headless Chromium.

The notebook is README's code block, a cell per paragraph, with a first cell
that puts light on the virtual instrument and a last one that looks at what
closing left behind. Without the Jupyter packages (make test installs them
with the test tools) these tests skip; without Chromium the browser's does,
unless ZOPY_REQUIRE_BROWSER is set.
"""

import contextlib
import os
import pathlib
import re
import secrets
import signal
import socket
import subprocess
import sys
import tempfile
import urllib.request

import pytest

import zopy
from zopy import sim

pytest.importorskip("bokeh")
nbformat = pytest.importorskip("nbformat")
nbclient = pytest.importorskip("nbclient")
pytest.importorskip("ipykernel")

from _browser import wait_for  # noqa: E402

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
README_JUPYTER = 'notebook_url="localhost:8888"'
CLOSED = "closed:"        # what the last cell prints, then the serial it opened and the threads left


def readme_cells():
    """README's notebook block, a cell per paragraph."""
    readme = README.read_text()
    block = re.search(r"in a Jupyter notebook:\n\n```python\n(.*?)```", readme, re.DOTALL).group(1)
    return [cell.strip() for cell in block.split("\n\n")]


def scope_notebook(cells):
    """README's cells between a first cell that checks the kernel runs this Python
    and this zopy and puts modulated light on the instrument, and a last cell
    that opens the instrument again after ``live.close()``."""
    first = (f"import sys, zopy\n"
             f"assert (sys.prefix, zopy.__file__) == {(sys.prefix, zopy.__file__)!r}, "
             f"(sys.prefix, zopy.__file__)\n"
             f"from zopy import sim\n"
             f"sim.set_light(100.0, modulation_hz=1e3, modulation_depth=0.2, seed=1)")
    last = ("import threading\n"
            "with zopy.Device() as device:\n"
            f"    print({CLOSED!r}, device.serial, "
            "[t.name for t in threading.enumerate() if t.name.startswith('zopy scope')])")
    notebook = nbformat.v4.new_notebook()
    notebook.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3",
                                       "language": "python"}
    notebook.cells = [nbformat.v4.new_code_cell(source) for source in [first, *cells, last]]
    return notebook


def closed_line(outputs):
    """What the last cell printed: the serial it opened and the scope's threads still alive."""
    text = "".join(output.get("text", "") for output in outputs if output["output_type"] == "stream")
    assert text.startswith(CLOSED), outputs
    return text.removeprefix(CLOSED).strip()


def errors(notebook_outputs):
    return [output for outputs in notebook_outputs for output in outputs
            if output["output_type"] == "error"]


@pytest.fixture
def jupyter_home(monkeypatch):
    """Jupyter's and IPython's own folders (connection files, settings,
    workspaces) in a temporary folder, removed afterwards; the kernel sees
    the default bench rather than one a ZOPY_BENCH names."""
    with tempfile.TemporaryDirectory(prefix="zopy-jupyter-") as home:
        home = pathlib.Path(home)
        for variable, folder in (("JUPYTER_CONFIG_DIR", "config"), ("JUPYTER_DATA_DIR", "data"),
                                 ("JUPYTER_RUNTIME_DIR", "runtime"), ("IPYTHONDIR", "ipython")):
            monkeypatch.setenv(variable, str(home / folder))
        monkeypatch.delenv("ZOPY_BENCH", raising=False)
        (home / "notebooks").mkdir()
        yield home


def test_readme_notebook_runs_in_a_kernel_and_closes_the_instrument(jupyter_home, file_size_limit):
    cells = readme_cells()
    assert len(cells) == 3 and cells[2].startswith("live.close()")
    notebook = scope_notebook(cells)
    client = nbclient.NotebookClient(notebook, timeout=600, kernel_name="python3",
                                     resources={"metadata": {"path": str(jupyter_home / "notebooks")}})
    show_cell, close_cell = 2, 3
    with client.setup_kernel():
        for index in range(show_cell + 1):
            client.execute_cell(notebook.cells[index], index)
        embeds = [output["data"] for output in notebook.cells[show_cell].outputs
                  if "application/vnd.bokehjs_exec.v0+json" in output.get("data", {})]
        assert len(embeds) == 1, notebook.cells[show_cell].outputs
        # Bokeh's server-app embed: a script that fetches the app's autoload.js from the kernel
        autoload = re.search(r'<script.*"(http://localhost:(\d+)/autoload\.js\?[^"]+)"',
                             embeds[0]["text/html"], re.DOTALL)
        assert autoload, embeds[0]["text/html"]
        url, port = autoload.group(1), int(autoload.group(2))
        # fetching it opens a session: the kernel builds the page of the live scope
        with urllib.request.urlopen(url.replace("localhost", "127.0.0.1"), timeout=120) as reply:
            assert reply.status == 200 and b"Bokeh" in reply.read()
        # the page, without a token, is served on the loopback address alone
        with pytest.raises(OSError), socket.create_connection(("127.0.0.2", port), timeout=60):
            pass
        for index in range(close_cell, len(notebook.cells)):
            client.execute_cell(notebook.cells[index], index)
    assert errors(cell.outputs for cell in notebook.cells) == []
    # the instrument opens again in the kernel, and no reading thread is left
    assert closed_line(notebook.cells[-1].outputs) == f"{sim.DEFAULT_SERIAL} []"


# ------------------------------------------------------------------ JupyterLab

def _children(pid):
    """The processes whose parent is ``pid`` (the kernels of a Jupyter server)."""
    found = []
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError):
            fields = stat.read_text().rsplit(")", 1)[1].split()
            if int(fields[1]) == pid:
                found.append(int(stat.parent.name))
    return found


@pytest.fixture
def jupyter_lab(jupyter_home, file_size_limit):
    """JupyterLab on a free port of 127.0.0.1 with a token, serving a folder of
    its own: (its address, the token, the folder). It and its kernels write
    no file beyond the test's size limit (a notebook with BokehJS inline
    takes 5 MB). The server, its kernels and the folder go after the test."""
    pytest.importorskip("jupyterlab")
    folder = jupyter_home / "notebooks"
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    token = secrets.token_urlsafe(24)
    log_path = jupyter_home / "server.log"
    with open(log_path, "wb") as log:
        server = subprocess.Popen(
            [sys.executable, "-m", "jupyter", "lab", "--no-browser", "--allow-root",
             "--ServerApp.ip=127.0.0.1", f"--ServerApp.port={port}", "--ServerApp.port_retries=0",
             f"--IdentityProvider.token={token}", f"--ServerApp.root_dir={folder}",
             "--LabApp.expose_app_in_browser=True", "--LabApp.news_url=None",
             "--LabApp.check_for_updates_class=jupyterlab.NeverCheckForUpdate"],
            stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    base = f"http://127.0.0.1:{port}"
    kernels = []
    try:
        def listening():
            assert server.poll() is None, log_path.read_text()
            try:
                with urllib.request.urlopen(f"{base}/api/status?token={token}", timeout=30):
                    return True
            except OSError:
                return False
        wait_for(listening, "JupyterLab listening")
        yield base, token, folder
        kernels = _children(server.pid)
    finally:
        with contextlib.suppress(OSError):
            urllib.request.urlopen(urllib.request.Request(
                f"{base}/api/shutdown?token={token}", method="POST"), timeout=60)
        try:
            server.wait(120)
        except subprocess.TimeoutExpired:
            os.killpg(server.pid, signal.SIGKILL)
            server.wait()
        for pid in kernels:         # shut down with the server; killed if one was left
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)


NOTEBOOK_JS = """
const panel = window.jupyterapp && jupyterapp.shell.currentWidget;
const kernel = panel && panel.sessionContext && panel.sessionContext.session
               && panel.sessionContext.session.kernel;
"""

# The frames the page has drawn: its own acknowledgement, set after Bokeh painted one.
DRAWN_JS = """
for (const doc of (window.Bokeh ? Bokeh.documents : [])) {
    const page = doc.get_model_by_name('scope');
    if (page) return page.tags[0].rendered;
}
return 0;
"""


def test_readme_notebook_draws_the_scope_in_jupyterlab(jupyter_lab, chromium):
    cells = readme_cells()
    assert sum(cell.count(README_JUPYTER) for cell in cells) == 1
    notebook = scope_notebook(cells)
    show_cell, close_cell = 2, 3
    base, token, folder = jupyter_lab
    # README's notebook_url, for this server as the browser sees it
    this_server = f'notebook_url="{base.removeprefix("http://")}"'
    notebook.cells[show_cell].source = notebook.cells[show_cell].source.replace(README_JUPYTER,
                                                                                this_server)
    nbformat.write(notebook, folder / "scope.ipynb")
    driver = chromium()
    driver.get(f"{base}/lab/tree/scope.ipynb?token={token}")
    wait_for(lambda: driver.execute_script(
        NOTEBOOK_JS + "return !!(kernel && kernel.status === 'idle' && panel.context.path === "
        "'scope.ipynb' && panel.content.widgets.length === arguments[0]);", len(notebook.cells)),
        "the notebook open with its kernel idle")

    def run(command):
        driver.execute_script(NOTEBOOK_JS + "panel.content.activeCellIndex = arguments[0];"
                              "jupyterapp.commands.execute(arguments[1]);", close_cell, command)

    def outputs():
        return driver.execute_script(
            NOTEBOOK_JS + "return panel.content.widgets.map(cell => cell.model.outputs.toJSON());")

    run("notebook:run-all-above")
    first = wait_for(lambda: driver.execute_script(DRAWN_JS), "the scope's first frame drawn")
    wait_for(lambda: driver.execute_script(DRAWN_JS) > first + 2, "later frames drawn")
    assert errors(outputs()) == []
    run("notebook:run-all-below")      # live.close(), then the instrument opened again
    last = wait_for(lambda: outputs()[-1], "the last cell's output")
    assert errors(outputs()) == []
    assert closed_line(last) == f"{sim.DEFAULT_SERIAL} []"
