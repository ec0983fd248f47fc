# make demo: build into .venv and run the example.  make test: build and run every test.
PYTHON ?= $(shell command -v python3.12 2>/dev/null || echo python3)
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build
# Warnings are errors in CI; locally they stay warnings.
WERROR ?= $(if $(CI),ON,OFF)
PYTEST_ARGS ?=

.PHONY: all demo test build install clean

all: test

$(VENV)/.installed: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check --upgrade pip==25.3
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

# The development build: the extension and the test-only module, in build/.
build: $(VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DLUMAGNIS_BUILD_TESTING=ON -DLUMAGNIS_WERROR=$(WERROR) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j 2

test: build
	PYTHONPATH=$(abspath $(BUILD)) $(PY) -m pytest $(PYTEST_ARGS)

# Installs the module into .venv the way a user installs it.
install: $(VENV)/.installed
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation .

demo: install
	$(PY) examples/demo.py

clean:
	rm -rf $(BUILD) $(VENV) dist
