# The user's entry point. CMake does the work; this file only picks the interpreter,
# installs missing packages and names the build directory.
PYTHON ?= $(shell PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null || command -v python3.13)
SANITIZE ?=
comma := ,
BUILD ?= build$(if $(SANITIZE),-$(subst $(comma),-,$(SANITIZE)))
BUILD_TYPE ?= $(if $(SANITIZE),Debug,RelWithDebInfo)
JOBS ?= $(shell nproc)

.PHONY: deps configure build test bench install clean

deps:
	@tools/install-deps.sh

configure: deps
	@test -n "$(PYTHON)" || { echo "python3.13 not found; pass PYTHON=/path/to/python3.13"; exit 1; }
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	  -DPython3_EXECUTABLE=$(PYTHON) -DKAVRI_SANITIZE=$(SANITIZE)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	cmake --build $(BUILD) --target benchmarks -j $(JOBS)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf build build-*
