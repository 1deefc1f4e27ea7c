# Entry points: `make run` sets up and starts the demo server, `make test` builds and runs every test,
# `make package` builds the Debian package zk_VERSION_ARCH.deb here, at the top of the repository.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build test run package clean
deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

run: build
	scripts/demo.sh

package: build
	@cmake --build $(BUILD) --target package
	@cp $(BUILD)/zk_*.deb .
	@ls zk_*.deb

clean:
	rm -rf $(BUILD)
