# Set-up: `make demo` and `make test` work on a fresh machine.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
DEV_BUILD := build/dev

.PHONY: install test demo dev devtest clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

# A real wheel build and install, as users get it.
install: $(VPY)
	$(VPY) -m pip install --quiet '.[test]'

test: install
	cd tests && ../$(VPY) -m pytest -q

demo: install
	$(VPY) -m vexlo_tools.demo

# Fast edit-compile-test loop: the extension built in place, sources on the path.
dev: $(VPY)
	$(VPY) -m pip install --quiet cppy pyserial pytest hypothesis
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DPython_EXECUTABLE=$(abspath $(VPY)) -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(abspath $(DEV_BUILD)) >/dev/null
	cmake --build $(DEV_BUILD)

devtest: dev
	cd tests && PYTHONPATH=$(abspath $(DEV_BUILD)):$(abspath python) ../$(VPY) -m pytest -q $(PYTEST_ARGS)

clean:
	rm -rf build dist
