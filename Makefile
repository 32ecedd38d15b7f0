# The one entry point: make demo, make test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build test demo bench clean

all: build

deps:
	@sh scripts/deps.sh

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	sh scripts/demo.sh $(BUILD)

bench: deps
	$(MAKE) build
	sh scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD)
