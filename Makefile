# Front door: `make test` on a fresh machine installs, configures, builds and tests.
BUILD_DIR ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test test-quick run package bench fuzz test-asan clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_ARGS)

configure: deps $(BUILD_DIR)/build.ninja

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300

# Every test but those labelled slow, for a quick loop while working.
test-quick: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300 -LE slow

# Starts the hub in this folder, so its table lives in ./data; with no display
# it runs headless.
run: build
	cd $(CURDIR) && $(BUILD_DIR)/src/app/korvel

# The Debian packages (korvel, korvel-desktop and their -dbgsym packages),
# built by dpkg-buildpackage from debian/, in $(BUILD_DIR)/package.
package: deps
	bash scripts/build-package.sh $(BUILD_DIR)/package

# Benchmarks against a reference relay; QUICK=1 for a short run, WINDOW=1 for
# the hub with its window open on a virtual display.
bench: build
	bash bench/run.sh $(if $(QUICK),--quick,) $(if $(WINDOW),--window,)

# Each fuzzer for FUZZ_SECONDS (default 60).
fuzz: deps
	bash fuzz/run.sh $(or $(FUZZ_SECONDS),60)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	bash scripts/test-asan.sh

clean:
	rm -rf $(BUILD_DIR)
