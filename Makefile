# Quick start: `make run` starts the application, `make test` runs every test.
# Both install what is missing first (tools/install-deps).
PRESET ?= release
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test bench clean

all: build

deps:
	@bash tools/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@bash tools/run-app $(BUILD_DIR)/app/parlowvista

# The keychain tests need a Secret Service: without one in the session, the
# suite runs inside a private session bus with its own unlocked keyring.
test: build
	@bash tools/with-test-session ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Only the programs: the build also leaves bench_*_autogen folders beside them.
bench: build
	@for b in $(BUILD_DIR)/bench/bench_*; do \
	  [ -f "$$b" ] && [ -x "$$b" ] || continue; \
	  echo "== $$b"; "$$b" || exit 1; \
	done

clean:
	rm -rf build
