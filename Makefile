# Quick start:  scripts/install-deps  (the Debian packages, as root or through sudo)
#               make demo  (fit the bundled example)   make test  (build and run every test)
JOBS ?= $(shell nproc)
RELEASE_DIR := build/release
TEST_DIR := build/test
BENCH_DIR := build/bench

.PHONY: all demo test bench bench-perf release clean

all: release

release:
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DWENDFIT_TESTS=OFF
	cmake --build $(RELEASE_DIR) -j $(JOBS)

demo: release
	mkdir -p build/demo
	$(RELEASE_DIR)/wendfit-reconstruct examples/torus.pts build/demo/torus.ply
	$(RELEASE_DIR)/wendfit examples/torus.pts build/demo/torus.fn 7 --mesh build/demo/torus-7.ply
	@echo "Surface mesh: build/demo/torus.ply; result file of the designed fit: build/demo/torus.fn"

test:
	cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWENDFIT_SANITIZE=ON -DWENDFIT_WERROR=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# Runs wendfit and Open3D's screened Poisson on points sampled from real
# scans and prints one table (bench/peer.sh; installs python3-open3d and
# libcgal-demo when missing). SIZES and SCANS pick the runs, e.g.
# make bench SIZES="100000" SCANS="bear"; OLD_WENDFIT, METHODS, EXTRA_METHODS
# and THREADS pass through the environment (see bench/peer.sh).
bench:
	BUILD=$(BENCH_DIR) SIZES="$(SIZES)" SCANS="$(SCANS)" bench/peer.sh

# Builds the benchmarks in Release and runs the fit-and-extract benchmark;
# SIZES picks the point counts (default 100000 1000000 4000000).
bench-perf:
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DWENDFIT_TESTS=OFF -DWENDFIT_BENCH=ON
	cmake --build $(BENCH_DIR) -j $(JOBS)
	BUILD=$(BENCH_DIR) bench/perf.sh $(SIZES)

clean:
	rm -rf build
