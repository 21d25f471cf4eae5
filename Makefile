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

# Every benchmark twice, with all workers and with one; BENCH_FILTER selects by regex, e.g.
# make bench BENCH_FILTER='walk/|baseline/stream'. The ratios of both runs end in one table.
BENCH_FILTER ?= .
BENCH_RUN = $(BUILD)/bench/tavro_bench --benchmark_filter='$(BENCH_FILTER)' \
	--benchmark_counters_tabular=true --benchmark_out_format=json
bench: build
	env -u RAYON_NUM_THREADS -u RAYON_RS_NUM_CPUS $(BENCH_RUN) --benchmark_out=$(BUILD)/bench/all_workers.json
	RAYON_NUM_THREADS=1 $(BENCH_RUN) --benchmark_out=$(BUILD)/bench/one_worker.json
	$(PYTHON) bench/ratio_table.py $(BUILD)/bench/all_workers.json $(BUILD)/bench/one_worker.json

format:
	git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
