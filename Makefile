# Set-up: `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
DEV_BUILD := build/dev
# The in-place builds use the CMake and Ninja installed into the environment,
# so they need nothing from the machine beyond Python and a compiler.
DEV_TOOLS := cppy pyserial numpy pytest pytest-xdist pytest-timeout hypothesis mypy types-pyserial h5py matplotlib textual pandas cmake ninja \
    starlette uvicorn websockets plotly selenium paho-mqtt
CMAKE := $(VENV)/bin/cmake

.PHONY: install test demo docs pictures bench dev devtest asan fuzz leaks clean browser mosquitto

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# A real wheel build and install, as users get it; again only when a file it is built from changed.
INSTALLED := $(VENV)/.vexlo-installed
BUILT_FROM := pyproject.toml CMakeLists.txt README.md $(shell find src native python cmake -type f \
    -not -path '*/__pycache__/*' -not -name '*.pyc' 2>/dev/null)
install: $(INSTALLED)
$(INSTALLED): $(VPY) $(BUILT_FROM)
	$(VPY) -m pip install --quiet '.[test]'
	touch $@

test: install browser mosquitto
	tests/suite.sh $(abspath $(VPY))

# The browser tests (pytest marker `browser`) drive Debian's headless Chromium
# through its driver; installed here when missing, as root with apt-get.
browser:
	@command -v chromedriver >/dev/null || [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null || { \
	    echo "installing chromium and chromium-driver with apt-get"; export DEBIAN_FRONTEND=noninteractive; \
	    apt-get install -y -q --no-install-recommends chromium chromium-driver >/dev/null 2>&1 || \
	    { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends chromium chromium-driver >/dev/null; }; }
	@command -v chromedriver >/dev/null || echo "make: chromium-driver is missing, so the browser tests will fail (apt-get install chromium chromium-driver)"

demo: install
	$(VENV)/bin/vexlo demo

# The documentation site, from docs/ into build/docs: warnings are errors,
# and every reference must resolve.
docs: $(VPY)
	$(VPY) -m pip install --quiet '.[docs]'
	$(VPY) -m sphinx -b html -W --keep-going -n -q docs build/docs

# The documentation's pictures, taken again by the project's own code.
pictures: install browser mosquitto
	$(VPY) docs/pictures.py

# The benchmark table (bench/RESULTS.md says what each row measures), on the
# installed build; BENCH_ARGS="--rows 2,3" runs a part of it.
bench: install
	$(VPY) bench/run.py $(BENCH_ARGS)

# Fast edit-compile-test loop: the extension built in place, sources on the path.
dev: $(VPY)
	$(VPY) -m pip install --quiet $(DEV_TOOLS)
	$(CMAKE) -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(abspath $(DEV_BUILD)) >/dev/null
	$(CMAKE) --build $(DEV_BUILD)

devtest: dev browser mosquitto
	cd tests && PYTHONPATH=$(abspath $(DEV_BUILD)):$(abspath python) ../$(VPY) -m pytest -q $(PYTEST_ARGS)

clean:
	rm -rf build dist

# The broker tests (pytest marker `broker`) start their own Mosquitto: Debian's
# package, installed with apt-get where it is missing and we are root.
MOSQUITTO_FOUND = PATH="$$PATH:/usr/sbin" command -v mosquitto >/dev/null
mosquitto:
	@$(MOSQUITTO_FOUND) || [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null || { \
	    echo "installing mosquitto with apt-get"; export DEBIAN_FRONTEND=noninteractive; \
	    apt-get install -y -q --no-install-recommends mosquitto >/dev/null 2>&1 || \
	    { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends mosquitto >/dev/null; }; }
	@$(MOSQUITTO_FOUND) || echo "make: mosquitto is missing, so the broker tests will fail (apt-get install mosquitto)"

# The test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build
# of the extension; any report aborts the run. The interpreter itself is not
# instrumented, so leak reports (which would be the interpreter's) are off.
ASAN_BUILD := build/asan
asan: $(VPY)
	$(VPY) -m pip install --quiet $(DEV_TOOLS)
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=Debug -DVEXLO_SANITIZE=ON -DVEXLO_WERROR=ON \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(abspath $(ASAN_BUILD)) >/dev/null
	$(CMAKE) --build $(ASAN_BUILD)
	PYTHONPATH=$(abspath $(ASAN_BUILD)):$(abspath python) \
	    LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    PYTHONMALLOC=malloc tests/suite.sh $(abspath $(VPY)) "not browser and not broker" $(PYTEST_ARGS)

# The long reliability runs against the in-place build: at least 100,000
# fuzzed inputs per parser and converter (a few minutes), and leak loops of
# 100,000 iterations of each kind of operation. The test suite runs both short.
RELIABILITY_RUN = cd tests && VEXLO_RELIABILITY=full PYTHONPATH=$(abspath $(DEV_BUILD)):$(abspath python) \
    ../$(VPY) -m pytest -q -p no:cacheprovider
fuzz: dev
	$(RELIABILITY_RUN) test_reliability_fuzz.py $(PYTEST_ARGS)

leaks: dev
	$(RELIABILITY_RUN) test_reliability_leaks.py $(PYTEST_ARGS)

# Binary wheels (.ci/wheels): into dist/, the source distribution and, built from it, one wheel per
# interpreter of WHEEL_PYTHONS, linked and repaired (auditwheel) for the oldest manylinux tag it can
# have. `make wheeltest` installs each wheel of dist/ into a fresh environment where no compiler is
# reachable, then runs `vexlo demo` and the suite less its browser and broker tests.
.PHONY: wheels wheeltest
WHEEL_PYTHONS ?= 3.11 3.12 3.13
wheels:
	.ci/wheels build $(WHEEL_PYTHONS)

wheeltest:
	.ci/wheels test
