# make demo: build into .venv and run the example.  make test: build and run every test.
# Another Python, in its own environment and build directory:
#     make test PYTHON=python3.13 VENV=.venv-3.13 BUILD=build-3.13
PYTHON ?= $(shell command -v python3.12 2>/dev/null || echo python3)
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD ?= build
# Warnings are errors in CI; locally they stay warnings.
WERROR ?= $(if $(CI),ON,OFF)
PYTEST_ARGS ?=

.PHONY: all demo test build install clean sanitize format format-check

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

# The whole suite against a build instrumented with AddressSanitizer and UndefinedBehaviorSanitizer,
# in its own build directory. The interpreter is not instrumented, so the runtimes of the compiler
# that built the module are preloaded, and PYTHONMALLOC=malloc routes Python's allocations through
# them too. Leak detection is off: the interpreter's exit-time allocations would drown it, and the
# leak tests cover leaks. An allocation the allocator cannot serve returns null, as it does without
# the sanitizer, so that the module's own exhaustion handling is what runs.
# A report written into a capture that dies with the process is lost, so pytest captures at the
# sys level only and its standard error goes to a file; ASan reports, of child processes too, go
# to files of their own. Any report fails the run.
SANITIZE_BUILD := build-sanitize
SANITIZE_REPORTS = $(abspath $(SANITIZE_BUILD))/reports

sanitize: $(VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -DLUMAGNIS_BUILD_TESTING=ON -DLUMAGNIS_SANITIZE=ON -DLUMAGNIS_WERROR=$(WERROR) >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD) -j 2
	rm -rf $(SANITIZE_REPORTS) && mkdir -p $(SANITIZE_REPORTS)
	compiler=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(SANITIZE_BUILD)/CMakeCache.txt); \
	LD_PRELOAD="$$($$compiler -print-file-name=libasan.so) $$($$compiler -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1:check_initialization_order=1:allocator_may_return_null=1:log_path=$(SANITIZE_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LUMAGNIS_SANITIZED=1 PYTHONPATH=$(abspath $(SANITIZE_BUILD)) \
	$(PY) -m pytest --capture=sys $(PYTEST_ARGS) 2>$(SANITIZE_REPORTS)/stderr; \
	status=$$?; \
	if [ $$status -ne 0 ]; then tail -n 40 $(SANITIZE_REPORTS)/stderr >&2; fi; \
	if ls $(SANITIZE_REPORTS)/asan.* >/dev/null 2>&1 || grep -q "runtime error:" $(SANITIZE_REPORTS)/stderr; then \
	    cat $(SANITIZE_REPORTS)/asan.* 2>/dev/null >&2; \
	    grep -A 30 "runtime error:" $(SANITIZE_REPORTS)/stderr >&2; \
	    echo "sanitizer reports: see $(SANITIZE_REPORTS)" >&2; exit 1; \
	fi; \
	exit $$status

# The C++ sources in the house style (.clang-format); CI checks it.
FORMATTED = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 'tests/native/*.hpp')

format: $(VENV)/.installed
	$(VENV)/bin/clang-format -i $(FORMATTED)

format-check: $(VENV)/.installed
	$(VENV)/bin/clang-format --dry-run --Werror $(FORMATTED)

# Installs the module into .venv the way a user installs it.
install: $(VENV)/.installed
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation .

# Only what the examples need: numpy, matplotlib and scipy, and the module itself, built the way pip
# builds it for a user (in an isolated build environment), none of the development tools.
$(VENV)/.demo-installed: requirements-demo.txt
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check --upgrade pip==25.3
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-demo.txt
	touch $@

# The light curve of a microlensing event: light_curve.png, the integrated forms in
# light_curve_integrated.png, and a table.
demo: $(VENV)/.demo-installed
	$(PY) -m pip install --quiet --disable-pip-version-check .
	$(PY) examples/light_curve.py

clean:
	rm -rf $(BUILD) $(VENV) dist build-* .venv-*

# make bench: timings of every function, and the table beside the field's tools. The peers go
# into their own environment; the module is built in Release into its own directory.
BENCH_VENV := .venv-bench
BENCH_BUILD := build-bench
BENCH_ARGS ?=

.PHONY: bench

$(BENCH_VENV)/.installed: benchmarks/requirements.txt
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --upgrade pip==25.3
	$(BENCH_VENV)/bin/python -m pip install --quiet --disable-pip-version-check -r benchmarks/requirements.txt
	touch $@

bench: $(VENV)/.installed $(BENCH_VENV)/.installed
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DPython_EXECUTABLE=$(abspath $(BENCH_VENV)/bin/python) \
	    -Dnanobind_DIR=$$($(PY) -m nanobind --cmake_dir) \
	    -DCMAKE_BUILD_TYPE=Release -DLUMAGNIS_SANITIZE=OFF \
	    -DLUMAGNIS_BUILD_TESTING=ON -DLUMAGNIS_WERROR=$(WERROR) >/dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD) -j 2
	PYTHONPATH=$(abspath $(BENCH_BUILD)) $(BENCH_VENV)/bin/python benchmarks/run.py $(BENCH_ARGS)
