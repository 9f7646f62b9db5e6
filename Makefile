# Two commands do all the set-up on a fresh machine:
#   make demo   build and install zopy into .venv, run the main job on the virtual instrument
#   make test   the same set-up, then every test under numpy 2.x (.venv) and numpy 1.26 (.venv-np1)
# A second run reuses the venvs and the incremental build in build/.

SHELL := /bin/bash

# Python 3.12: on PATH, or through pyenv when it is installed there.
PYTHON312 := $(shell \
  if python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then echo python3.12; \
  elif command -v pyenv >/dev/null 2>&1; then \
    v=$$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$$' | sort -V | tail -n 1); \
    [ -n "$$v" ] && echo "$$(pyenv root)/versions/$$v/bin/python3.12"; \
  fi)

VENV := .venv
VENV_NP1 := .venv-np1
WHEEL_STAMP := build/.wheel-stamp
DEMO_OUT := demo-output
# The tools extra (h5py, tqdm, matplotlib, scipy) goes into both venvs; the
# numpy 1.26 venv keeps its numpy through the constraint.
TOOLS = "$$(ls dist/zopy-*.whl)[tools]"
SOURCES := $(shell find extension libzo virtual zopy -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: demo test bench clean check-python

demo: $(VENV)/.installed
	$(VENV)/bin/python -P examples/first_light.py
	@mkdir -p $(DEMO_OUT)
	$(VENV)/bin/python -P examples/record_and_spectrum.py $(DEMO_OUT)

test: $(VENV)/.installed $(VENV_NP1)/.installed
	$(VENV)/bin/python -P -m pytest -q tests
	$(VENV_NP1)/bin/python -P -m pytest -q tests

bench: $(VENV)/.installed
	$(VENV)/bin/python -m pip install -q scipy
	$(VENV)/bin/python bench/run_all.py

check-python:
	@if [ -z "$(PYTHON312)" ]; then echo "Python 3.12 not found (put python3.12 on PATH or install it with pyenv)"; exit 1; fi

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

clean:
	rm -rf build dist $(VENV) $(VENV_NP1) $(DEMO_OUT)
