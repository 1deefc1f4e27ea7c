# Entry points: `make run` sets up and starts the demo server, `make test` builds and runs every
# test twice: in the normal build and in the sanitizer build (ASan, LSan, UBSan; build-asan),
# `make package` builds the Debian package zk_VERSION_ARCH.deb here, at the top of the repository.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
# Extra CMake settings for both builds, for example CMAKE_ARGS=-DZK_WERROR=ON (what CI uses).
CMAKE_ARGS ?=

.PHONY: deps build build-asan test test-normal test-asan run package clean
deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK_SANITIZE=ON $(CMAKE_ARGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Fails on any sanitizer report, also of a program that a test started (see CMakeLists.txt).
test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

run: build
	scripts/demo.sh

package: build
	@cmake --build $(BUILD) --target package
	@cp $(BUILD)/zk_*.deb .
	@ls zk_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
