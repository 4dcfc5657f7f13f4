# Set-up, build, tests and the demo. Every target installs what it needs and is safe to rerun.
PYTHON ?= python3
JOBS ?= $(shell nproc)
APT_PACKAGES := g++ cmake ninja-build libasio-dev libgtest-dev libmodbus-dev socat
PY_PACKAGES := scikit-build-core pytest pytest-asyncio pytest-timeout pymodbus pyserial
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_ARGS := -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON))

.PHONY: all deps apt-deps py-deps install demo test cpp-test sanitize-test py-test bench clean

all: install

apt-deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; fi

py-deps:
	@$(PYTHON) -c "import scikit_build_core, pytest, pytest_asyncio, pytest_timeout, pymodbus, serial" 2>/dev/null || \
	  $(PYTHON) -m pip install -q $(PY_PACKAGES)

deps: apt-deps py-deps

install: deps
	$(PYTHON) -m pip install -q --no-build-isolation .

demo: install
	$(PYTHON) examples/demo.py

build/cpp/build.ninja: | apt-deps
	cmake -S . -B build/cpp $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_BUILD_TESTS=ON

build/asan/build.ninja: | apt-deps
	cmake -S . -B build/asan $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DTESSALY_BUILD_TESTS=ON \
	  -DTESSALY_SANITIZE=ON -DTESSALY_BUILD_PYTHON=OFF

cpp-test: build/cpp/build.ninja
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

sanitize-test: build/asan/build.ninja
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS) -LE python

py-test: install
	$(PYTHON) -m pytest -q

test: deps cpp-test sanitize-test py-test

bench: install build/cpp/build.ninja
	cmake --build build/cpp -j $(JOBS) --target engine_bench
	build/cpp/bench/engine_bench
	$(PYTHON) bench/run.py
	$(PYTHON) bench/server_run.py
	$(PYTHON) bench/gateway_run.py

clean:
	rm -rf build
