# The two commands of the README: `make run` and `make test`. Both do all set-up first.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
WIN_BUILD ?= build-windows
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test bootstrap build asan tsan windows windows-test fuzz clean

bootstrap:
	@scripts/bootstrap.sh

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory asan
	$(MAKE) --no-print-directory tsan
	@scripts/fuzz-smoke.sh
	$(MAKE) --no-print-directory windows-test

asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIM_SANITIZE=ON -DPIM_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

# The 32-bit Windows DLLs and test host, cross-built with MinGW-w64.
windows: bootstrap
	cmake -S windows -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/mingw-w64-i686.cmake
	cmake --build $(WIN_BUILD) -j $(JOBS)

# Registered and driven under Wine; the Linux build prepares the test store.
windows-test: windows build
	scripts/windows-test.sh $(WIN_BUILD) $(BUILD)

# The threading tests under ThreadSanitizer (the suites' `threads` label).
tsan: bootstrap
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIM_TSAN=ON -DPIM_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target module_tests test_component test_platform qlt_tests
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L threads

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WIN_BUILD)
