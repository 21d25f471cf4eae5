# Two entry points work on a fresh machine: `make demo` and `make test`.
PYTHON ?= /usr/bin/python3
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: bench-gates setup configure build test test-asan test-native demo bench bench-full format clean

setup:
	bash scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRO_PYTHON=$(PYTHON)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory test-asan test-native

# The C++ and C test programs once more under AddressSanitizer and UBSan, with one worker and
# with eight; any finding fails the run. Refused reservations must come back as null, which
# ASan's allocator only does when asked. ThreadSanitizer is left out: Debian's oneTBB is not
# instrumented, so it reports the join of every parallel_for as a race and proves nothing.
# The affinity tests start children with an OpenMP runtime preloaded ahead of ASan's, which
# ASan refuses unless told the order is intended.
SAN_FLAGS = -O1 -g1 -fsanitize=address,undefined -fno-omit-frame-pointer \
	-fno-sanitize-recover=undefined
SAN_TESTS = tests/tavro_tests tests/c/tavro_ffi_tests tests/c/tavro_trap_tests \
	tests/c/tavro_header_test
test-asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=None -DTAVRO_BUILD_BENCH=OFF \
		-DTAVRO_BUILD_PYTHON=OFF -DCMAKE_CXX_FLAGS='$(SAN_FLAGS)' -DCMAKE_C_FLAGS='$(SAN_FLAGS)'
	cmake --build build-asan -j $(JOBS) --target $(notdir $(SAN_TESTS))
	set -e; for w in 1 8; do for t in $(SAN_TESTS); do echo "asan: $$t, $$w workers"; \
		ASAN_OPTIONS=allocator_may_return_null=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
		RAYON_NUM_THREADS=$$w build-asan/$$t --gtest_brief=1; done; done

# The bit-exact kernel tests against a library built with the flags a packager might set: the
# results must not change with them.
NATIVE_FLAGS = -O2 -march=native
test-native: setup
	cmake -S . -B build-native -G Ninja -DCMAKE_BUILD_TYPE=None -DTAVRO_BUILD_BENCH=OFF \
		-DTAVRO_BUILD_PYTHON=OFF -DCMAKE_CXX_FLAGS='$(NATIVE_FLAGS)' -DCMAKE_C_FLAGS='$(NATIVE_FLAGS)'
	cmake --build build-native -j $(JOBS) --target tavro_tests
	set -e; for w in 1 8; do echo "native: tavro_tests, $$w workers"; \
		RAYON_NUM_THREADS=$$w build-native/tests/tavro_tests --gtest_brief=1; done

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py

# Benchmarks, each run twice, with all workers and with one; the ratios of both runs end in one
# table. `make bench` is the quick run: each family's main rows on 26 qubits (a few minutes).
# `make bench-full` runs every row on 20 to 28 qubits (hours; 4 GiB buffers). BENCH_FILTER
# selects rows by regex instead, e.g. make bench BENCH_FILTER='walk/|baseline/stream'.
BENCH_QUICK_ROWS := baseline/stream baseline/read \
	state/zero_pass state/clone state/norm_squared state/normalize \
	walk/pairs_t0 walk/pairs_top walk/quartets_mid \
	gate1q/h_t0 gate1q/h_mid gate1q/h_top gate1q/x_top gate1q/rz_mid gate1q/dense_mid \
	2q/cx/01 2q/cx/mid 2q/cz/mid 2q/swap/mid 2q/rzz/mid 2q/dense/mid 2q/dense/0_top \
	mc/mcx/c2_mid mc/c1q/c2_mid mc/c2q/c1_mid kq/k3/mid kq/k5/mid diag/k2 diag/k10 \
	sample/prob_zero_mid sample/measure_mid sample/shots_1e6 \
	obs/pauli_z obs/exp1q_mid obs/exp2q_1_mid \
	channel/kraus_1q_k2_mid channel/kraus_2q_k2 channel/mixed_unitary_1q baseline/stream_again
space := $(subst ,, )
BENCH_QUICK := ^($(subst $(space),|,$(strip $(BENCH_QUICK_ROWS))))/26/|^ordering/anneal_4n/40$$
BENCH_FILTER ?= $(BENCH_QUICK)
BENCH_RUN = $(BUILD)/bench/tavro_bench --benchmark_filter='$(BENCH_FILTER)' \
	--benchmark_counters_tabular=true --benchmark_out_format=json
bench: build
	env -u RAYON_NUM_THREADS -u RAYON_RS_NUM_CPUS $(BENCH_RUN) --benchmark_out=$(BUILD)/bench/all_workers.json
	RAYON_NUM_THREADS=1 $(BENCH_RUN) --benchmark_out=$(BUILD)/bench/one_worker.json
	$(PYTHON) bench/ratio_table.py $(BUILD)/bench/all_workers.json $(BUILD)/bench/one_worker.json

bench-full:
	$(MAKE) bench BENCH_FILTER=.

# Every one- and two-qubit gate, the measurement rows and the state copies on 26 and 28 qubits:
# one-qubit gates on slots 0 to 3, a middle slot and the top one; pairs both low (01), both in
# the middle, far apart (0 with the top, 1 with a high slot), low with a middle slot (2_5) and
# the top two. 0.5 s a row and count (35 minutes measured, 13 GiB at 28 qubits).
BENCH_GATES := ^(baseline/stream|gate1q/[a-z]+_(t[0-3]|mid|top)|2q/[a-z]+/(01|mid|0_top|1_high|2_5|top2)|sample/(prob_zero|measure)_[a-z0-9]+|sample/shots_1000|state/(clone|norm_squared|normalize))/(26|28)/
bench-gates:
	TAVRO_BENCH_MIN_TIME=0.5 $(MAKE) bench BENCH_FILTER='$(BENCH_GATES)'

format:
	git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf $(BUILD) build-asan build-native
