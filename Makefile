# The two everyday commands: `make run` builds and starts the program, `make test` builds and
# runs every test. Both install missing Debian packages first (scripts/setup). `make package`
# builds the Debian package korvelchat2_<version>_<arch>.deb in this folder.
BUILD      ?= build
TEST_BUILD ?= build-test
BENCH_BUILD ?= build-bench
PACKAGE_BUILD ?= build-package
JOBS       ?= $(shell nproc)

.PHONY: setup run test bench package clean

setup:
	@./scripts/setup

run: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_TESTS=OFF >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@./scripts/run $(BUILD)

test: setup
	@cmake -S . -B $(TEST_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_BUILD) -j $(JOBS)
	@./scripts/test $(TEST_BUILD)

bench: setup
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_TESTS=OFF -DKORVEL_BENCH=ON >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS)
	@./scripts/bench $(BENCH_BUILD)

# Lintian, where installed, looks the package over; an error stops the target.
package: setup
	@cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVEL_TESTS=OFF >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@cp $(PACKAGE_BUILD)/korvelchat2_*.deb .
	@if command -v lintian >/dev/null; then lintian --fail-on error korvelchat2_*.deb; fi
	@ls korvelchat2_*.deb

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(BENCH_BUILD) $(PACKAGE_BUILD)
