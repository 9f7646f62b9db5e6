# Two commands do all the set-up on a fresh machine:
#   make demo   build and install zopy into .venv, run the main job on the virtual instrument
#   make test   the same set-up, then every test under numpy 2.x (.venv) and numpy 1.26 (.venv-np1),
#               and under Python 3.13 with numpy 2.x (.venv-313, with a wheel of its own)
#   make check  every test again, against a build with AddressSanitizer and UBSan (.venv-check)
#   make fuzz   the fuzzer for at least 10**6 calls; make stress: exits, races and killed recordings repeated many times
# A second run reuses the venvs and the incremental build in build/.

SHELL := /bin/bash

# Python 3.12 and 3.13, each on PATH or through pyenv when it is installed
# there; a free-threaded build does not count (its wheels are a different ABI).
find_python = $(shell \
  if python$(1) -c 'import sys, sysconfig; assert "%d.%d" % sys.version_info[:2] == "$(1)"; \
      assert not sysconfig.get_config_var("Py_GIL_DISABLED")' 2>/dev/null; then echo python$(1); \
  elif command -v pyenv >/dev/null 2>&1; then \
    v=$$(pyenv versions --bare 2>/dev/null | grep -E '^$(subst .,\.,$(1))(\.[0-9]+)?$$' | sort -V | tail -n 1); \
    [ -n "$$v" ] && echo "$$(pyenv root)/versions/$$v/bin/python$(1)"; \
  fi)
PYTHON312 := $(call find_python,3.12)
PYTHON313 := $(call find_python,3.13)

VENV := .venv
VENV_NP1 := .venv-np1
VENV_313 := .venv-313
WHEEL_STAMP := build/.wheel-stamp
# A wheel is made for one Python version: 3.13's is built by its own venv.
DIST_313 := dist-313
WHEEL_STAMP_313 := build/.wheel-stamp-313
DEMO_OUT := demo-output
# The tools extra (h5py, tqdm, matplotlib, scipy) goes into every venv; the
# numpy 1.26 venv keeps its numpy through the constraint.
TOOLS = "$$(ls dist/zopy-*.whl)[tools]"
SOURCES := $(shell find extension libzo pyutil virtual zopy _zopy_pytest -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: demo test benchmark bench clean check-python check-python313 check fuzz stress

demo: $(VENV)/.installed
	$(VENV)/bin/python -P examples/first_light.py
	@mkdir -p $(DEMO_OUT)
	$(VENV)/bin/python -P examples/record_and_spectrum.py $(DEMO_OUT)
	$(VENV)/bin/python -P examples/noise_references.py $(DEMO_OUT)

# Every suite runs, whatever the one before found; the failures of all of
# them are listed at the end (each suite's log is in build/test-logs/).
TEST_LOGS := build/test-logs
test: $(VENV)/.installed $(VENV_NP1)/.installed $(VENV_313)/.installed \
      $(VENV)/.test-tools $(VENV_NP1)/.test-tools $(VENV_313)/.test-tools
	@mkdir -p $(TEST_LOGS); set -o pipefail; failed=""; \
	for suite in "$(VENV) numpy-2" "$(VENV_NP1) numpy-1.26" "$(VENV_313) python-3.13"; do \
	  set -- $$suite; echo "== tests under $$2 ($$1)"; \
	  $$1/bin/python -P -m pytest -q -rfE tests 2>&1 | tee $(TEST_LOGS)/$$2.log || failed="$$failed $$2"; \
	done; \
	echo "== make test: every suite"; \
	for suite in numpy-2 numpy-1.26 python-3.13; do \
	  echo "$$suite: $$(tail -n 1 $(TEST_LOGS)/$$suite.log)"; \
	  grep -E '^(FAILED|ERROR) ' $(TEST_LOGS)/$$suite.log | sed "s/^/  $$suite: /" || true; \
	done; \
	if [ -n "$$failed" ]; then echo "make test: failures under$$failed"; exit 1; fi

# The benchmarks, run by hand (make bench is the same).
benchmark bench: $(VENV)/.installed
	$(VENV)/bin/python -m pip install -q scipy
	$(VENV)/bin/python benchmarks/run_all.py

check-python:
	@if [ -z "$(PYTHON312)" ]; then echo "Python 3.12 not found (put python3.12 on PATH or install it with pyenv)"; exit 1; fi

check-python313:
	@if [ -z "$(PYTHON313)" ]; then echo "Python 3.13 not found (put python3.13 on PATH or install it with pyenv)"; exit 1; fi

$(VENV)/.created: | check-python
	$(PYTHON312) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0,<3" "pytest>=8" mypy cmake ninja
	touch $@

$(VENV_NP1)/.created: | check-python
	$(PYTHON312) -m venv $(VENV_NP1)
	$(VENV_NP1)/bin/python -m pip install -q --upgrade pip
	$(VENV_NP1)/bin/python -m pip install -q "numpy==1.26.*" "pytest>=8"
	touch $@

# One wheel, built once against numpy 2 headers, installed into both venvs.
$(WHEEL_STAMP): $(VENV)/.created $(SOURCES)
	rm -rf dist
	$(VENV)/bin/python -m pip wheel -q --no-build-isolation --no-deps -w dist .
	mkdir -p build && touch $@

$(VENV)/.installed: $(WHEEL_STAMP)
	$(VENV)/bin/python -m pip install -q --force-reinstall --no-deps dist/zopy-*.whl
	$(VENV)/bin/python -m pip install -q $(TOOLS)
	touch $@

$(VENV_NP1)/.installed: $(VENV_NP1)/.created $(WHEEL_STAMP)
	$(VENV_NP1)/bin/python -m pip install -q --force-reinstall --no-deps dist/zopy-*.whl
	$(VENV_NP1)/bin/python -m pip install -q $(TOOLS) "numpy==1.26.*"
	touch $@

# Python 3.13 with numpy 2: a venv that builds its own wheel, as .venv does.
$(VENV_313)/.created: | check-python313
	$(PYTHON313) -m venv $(VENV_313)
	$(VENV_313)/bin/python -m pip install -q --upgrade pip
	$(VENV_313)/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0,<3" "pytest>=8" mypy cmake ninja
	touch $@

$(WHEEL_STAMP_313): $(VENV_313)/.created $(SOURCES)
	rm -rf $(DIST_313)
	$(VENV_313)/bin/python -m pip wheel -q --no-build-isolation --no-deps -w $(DIST_313) .
	mkdir -p build && touch $@

$(VENV_313)/.installed: $(WHEEL_STAMP_313)
	$(VENV_313)/bin/python -m pip install -q --force-reinstall --no-deps $(DIST_313)/zopy-*.whl
	$(VENV_313)/bin/python -m pip install -q "$$(ls $(DIST_313)/zopy-*.whl)[tools]"
	touch $@

# The frameworks' extras (zopy[qcodes], zopy[bluesky], zopy[dask]): installed and tested
# in every venv of make test; the numpy 1.26 venv keeps its numpy through the constraint.
FRAMEWORKS := qcodes,bluesky,dask
test: $(VENV)/.frameworks $(VENV_NP1)/.frameworks $(VENV_313)/.frameworks
$(VENV)/.frameworks: $(VENV)/.installed pyproject.toml
	$(VENV)/bin/python -m pip install -q "$$(ls dist/zopy-*.whl)[$(FRAMEWORKS)]"
	touch $@
$(VENV_NP1)/.frameworks: $(VENV_NP1)/.installed pyproject.toml
	$(VENV_NP1)/bin/python -m pip install -q "$$(ls dist/zopy-*.whl)[$(FRAMEWORKS)]" "numpy==1.26.*"
	touch $@
$(VENV_313)/.frameworks: $(VENV_313)/.installed pyproject.toml
	$(VENV_313)/bin/python -m pip install -q "$$(ls $(DIST_313)/zopy-*.whl)[$(FRAMEWORKS)]"
	touch $@

# Test tools beyond pytest, once per venv, and again after this file changes: a tool
# added here reaches the venvs made before. The Jupyter packages run README's notebook.
%/.test-tools: %/.created Makefile
	$*/bin/python -m pip install -q "hypothesis>=6" "selenium>=4.11" \
	  "jupyterlab>=4" "nbclient>=0.10" "nbformat>=5.9" "ipykernel>=6.29"
	touch $@

# ---------------------------------------------------------------------------
# make check: the whole suite against zopy built with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC), in a build folder and venv of its own.
# Python itself is not instrumented, so the sanitizer runtime is preloaded,
# with the C++ runtime whose exceptions it intercepts; Python allocates with
# malloc so that ASan sees its objects too. Leak reports are off: the
# interpreter does not free everything at exit. Any finding ends the process,
# and the test that started it fails; pytest captures only Python's streams
# so that the sanitizer's report still reaches the terminal.
VENV_CHECK := .venv-check
CHECK_STAMP := build/check/.wheel-stamp
SANITIZER_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so.6)
SANITIZER_ENV = LD_PRELOAD="$(SANITIZER_RUNTIME)" PYTHONMALLOC=malloc \
  ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

check: $(VENV_CHECK)/.installed $(VENV_CHECK)/.test-tools
	$(SANITIZER_ENV) $(VENV_CHECK)/bin/python -P -m pytest -q -p no:cacheprovider --capture=sys tests

$(VENV_CHECK)/.created: | check-python
	$(PYTHON312) -m venv $(VENV_CHECK)
	$(VENV_CHECK)/bin/python -m pip install -q --upgrade pip
	$(VENV_CHECK)/bin/python -m pip install -q "numpy>=2.0,<3" "pytest>=8"
	touch $@

$(CHECK_STAMP): $(VENV)/.created $(SOURCES)
	rm -rf dist-check
	$(VENV)/bin/python -m pip wheel -q --no-build-isolation --no-deps -w dist-check \
	  -Cbuild-dir=build/check -Ccmake.build-type=RelWithDebInfo -Ccmake.define.ZOPY_SANITIZE=ON .
	mkdir -p build/check && touch $@

$(VENV_CHECK)/.installed: $(VENV_CHECK)/.created $(CHECK_STAMP)
	$(VENV_CHECK)/bin/python -m pip install -q --force-reinstall --no-deps dist-check/zopy-*.whl
	$(VENV_CHECK)/bin/python -m pip install -q "$$(ls dist-check/zopy-*.whl)[tools]"
	touch $@

# The fuzzer for much longer than the suite runs it (FUZZ_CALLS, at least 10**6).
FUZZ_CALLS ?= 2000000
fuzz: $(VENV)/.installed $(VENV)/.test-tools
	$(VENV)/bin/python -P tests/fuzzing.py --calls $(FUZZ_CALLS) --seed $$RANDOM --reproducer fuzz-program.txt

# Exit scenarios, races and killed recordings repeated many times (STRESS_RUNS each;
# the killed recordings: STRESS_RUNS per signal and per window, 300 kills at 50).
STRESS_RUNS ?= 50
stress: $(VENV)/.installed $(VENV)/.test-tools
	ZOPY_EXIT_RUNS=$(STRESS_RUNS) ZOPY_RACE_RUNS=$$(( $(STRESS_RUNS) * 20 )) ZOPY_KILL_RUNS=$(STRESS_RUNS) \
	  $(VENV)/bin/python -P -m pytest -q tests/test_exit.py tests/test_races.py tests/test_record.py::TestKilled

clean:
	rm -rf build dist dist-check $(DIST_313) $(VENV) $(VENV_NP1) $(VENV_313) $(VENV_CHECK) $(DEMO_OUT)

# ---------------------------------------------------------------------------
# zopy scope: its extra (bokeh) in every venv that make demo and make test use,
# and a screenshot of its page on the virtual bench in demo-output/scope.png
# (headless Chromium from Debian's chromium and chromium-driver; without them
# the screenshot is skipped with a message). Its browser tests use selenium,
# installed with the test tools.
.PHONY: screenshot
demo: screenshot
demo test: $(VENV)/.scope
test: $(VENV_NP1)/.scope $(VENV_313)/.scope

screenshot: $(VENV)/.scope $(VENV)/.test-tools
	@mkdir -p $(DEMO_OUT)
	$(VENV)/bin/python -P examples/scope_screenshot.py $(DEMO_OUT)/scope.png

$(VENV)/.scope: $(VENV)/.installed
	$(VENV)/bin/python -m pip install -q "$$(ls dist/zopy-*.whl)[scope]"
	touch $@

$(VENV_NP1)/.scope: $(VENV_NP1)/.installed
	$(VENV_NP1)/bin/python -m pip install -q "$$(ls dist/zopy-*.whl)[scope]" "numpy==1.26.*"
	touch $@

$(VENV_313)/.scope: $(VENV_313)/.installed
	$(VENV_313)/bin/python -m pip install -q "$$(ls $(DIST_313)/zopy-*.whl)[scope]"
	touch $@
