# Entry points: build every interpreter's module, test, serve, sanitize, bench.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all setup configure test serve clean

# Builds vorn/asgi<EXT_SUFFIX> for every CPython on the machine (3.6 required).
all: configure
	cmake --build $(BUILD) -j$(JOBS)

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null

# Installs what the machine lacks (Debian packages, idempotent).
setup:
	bash scripts/setup.sh

# Set-up, every module, every test; ctest's summary is the last thing printed.
test: setup
	$(MAKE) --no-print-directory all
	bash tools/run_tests.sh $(BUILD) $(JOBS)

# Builds the modules and serves vorn.asgi:application with uvicorn on 127.0.0.1:$${PORT:-8000}.
serve: setup
	$(MAKE) --no-print-directory all
	bash scripts/serve.sh

# Benchmarks: the import against its floor, the operations, the footprint; one table (a few minutes).
.PHONY: bench
bench:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j$(JOBS) --target vorn_bench >/dev/null
	python3 bench/run_bench.py --build $(BUILD)

# Sanitizers: every scenario on CPython 3.6 and Debian's python3 against an ASan/UBSan build
# of the module (built into build-sanitize/, never over vorn/), then the main scenarios under
# valgrind memcheck with the ordinary modules.
.PHONY: sanitize
sanitize: setup
	bash tools/sanitize.sh
	$(MAKE) --no-print-directory all
	bash tools/valgrind.sh

clean:
	rm -rf $(BUILD) build-sanitize vorn/asgi.*.so tests/support/_failalloc.*.so
