# The user's entry point. CMake does the work; this file only picks the interpreter,
# installs missing packages and names the build directory.
PYTHON ?= $(shell PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null || command -v python3.13)
SANITIZE ?=
comma := ,
BUILD ?= build$(if $(SANITIZE),-$(subst $(comma),-,$(SANITIZE)))
BUILD_TYPE ?= $(if $(SANITIZE),Debug,RelWithDebInfo)
JOBS ?= $(shell nproc)

.PHONY: deps configure build demo test bench bench-deps install clean

deps:
	@tools/install-deps.sh

configure: deps
	@test -n "$(PYTHON)" || { echo "python3.13 not found; pass PYTHON=/path/to/python3.13"; exit 1; }
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DPython3_EXECUTABLE=$(PYTHON) -DKAVRI_SANITIZE=$(SANITIZE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# DEMO_ARGS: options of examples/demo.py, e.g. DEMO_ARGS="--messages 1000000 --keep".
demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py $(DEMO_ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The side-by-side comparison needs the peers: libzmq for its C++ harness, redis-server.
# BENCH_ARGS: options of bench/compare.py, e.g. BENCH_ARGS="--replay-mib 1024".
# The peers are installed before configuring, so that CMake finds libzmq for the harness.
bench-deps:
	@tools/install-deps.sh libzmq3-dev redis-server

bench: bench-deps
	$(MAKE) build
	cmake --build $(BUILD) --target benchmarks -j $(JOBS)
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/compare.py --build-dir $(BUILD) $(BENCH_ARGS)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf build build-*
