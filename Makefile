# Entry points: `make run` sets up and starts the demo server, `make test` builds and runs every
# test twice: in the normal build and in the sanitizer build (ASan, LSan, UBSan; build-asan),
# `make package` builds the Debian package zk_VERSION_ARCH.deb here, at the top of the repository,
# `make test-debian13` runs `make test` in a Debian 13 tree (scripts/debian13.sh).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
# Extra CMake settings for both builds, for example CMAKE_ARGS=-DZK_WERROR=ON (what CI uses).
CMAKE_ARGS ?=

.PHONY: deps build build-asan test test-normal test-asan test-debian13 run package clean
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

# `make test` on Debian 13, whatever Debian this machine runs: both builds, in build-debian13 and
# build-debian13-asan.
test-debian13:
	scripts/debian13.sh make test BUILD=build-debian13 ASAN_BUILD=build-debian13-asan \
	  CMAKE_ARGS="$(CMAKE_ARGS)"

run: build
	scripts/demo.sh

package: build
	@cmake --build $(BUILD) --target package
	@cp $(BUILD)/zk_*.deb .
	@ls zk_*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-debian13 build-debian13-asan
