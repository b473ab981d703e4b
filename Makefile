# Thin wrappers over the CMake presets; the real build lives in CMakeLists.txt.
.PHONY: deps build run demo package test test-debug test-tsan fuzz fuzz-long bench clean

FUZZ_SECONDS ?= 30
FUZZ_LONG_SECONDS ?= 900
# What the fuzzer finds grows here from run to run; the seeds in core/tests/corpus stay as committed.
FUZZ_CORPUS ?= build/fuzz-corpus

# Debian packages, then the face model and the test photographs (fetched, checked, never committed).
deps:
	@scripts/install-deps
	@scripts/fetch-model
	@scripts/fetch-test-photos

build: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release
	@scripts/fetch-model build/release

# Starts Orvane in this desktop session (it stays in the tray; Quit is in its menu).
# Without a desktop session (no DISPLAY) it shows the demo instead.
run: build
	@if [ -z "$${DISPLAY:-}" ]; then \
		echo "make run: no desktop session here (DISPLAY is not set): showing the demo on a virtual desktop instead."; \
		build/release/tools/orvane-demo build/demo; \
	else \
		build/release/app/orvane; \
	fi

# Orvane at work with a simulated person on a virtual desktop; screenshots in build/demo.
demo: build
	@build/release/tools/orvane-demo build/demo

# The Debian package: build/orvane_<version>_<arch>.deb.
package: build
	@cd build/release && cpack --config CPackConfig.cmake >/dev/null
	@ls build/orvane_*.deb

test: package
	@ctest --preset release

test-debug: deps
	@cmake --preset debug >/dev/null
	@cmake --build --preset debug
	@scripts/fetch-model build/debug
	@ctest --preset debug

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@mkdir -p $(FUZZ_CORPUS)
	@build/fuzz/core/tests/profile_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=5 -rss_limit_mb=1024 \
		-print_final_stats=1 $(FUZZ_CORPUS) core/tests/corpus

# Before a release: a quarter of an hour on the same growing corpus.
fuzz-long:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_LONG_SECONDS)

bench: build
	@mkdir -p build/bench
	@build/release/bench/core_bench --benchmark_out=build/bench/core.json --benchmark_out_format=json
	@build/release/bench/engine_bench --benchmark_out=build/bench/engine.json --benchmark_out_format=json
	@build/release/bench/vision_bench --benchmark_out=build/bench/vision.json --benchmark_out_format=json
	@build/release/bench/vision_load --out build/bench/vision_load.json
	@build/release/bench/desktop_bench --benchmark_out=build/bench/desktop.json --benchmark_out_format=json
	@build/release/bench/e2e_bench --out build/bench/e2e.json

clean:
	@rm -rf build
