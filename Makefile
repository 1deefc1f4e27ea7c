# Entry points: `make run` sets up and starts the demo server, `make test` builds and runs every
# test twice: in the normal build and in the sanitizer build (ASan, LSan, UBSan; build-asan).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: deps build build-asan test test-normal test-asan run clean
deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Fails on any sanitizer report, also of a program that a test started (see CMakeLists.txt).
test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

run: build
	scripts/demo.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
