# Two entry points work on a fresh machine: `make demo` and `make test`.
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: setup configure build test demo bench format clean

setup:
	bash scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRO_PYTHON=$(PYTHON)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py

bench: build
	$(BUILD)/bench/tavro_bench --benchmark_counters_tabular=true

format:
	git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
