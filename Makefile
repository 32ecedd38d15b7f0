# The one entry point: make demo, make test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The tests mostly wait on terminals, timers and child programs: four run
# side by side per core.
TEST_JOBS ?= $(shell echo $$(( 4 * $(JOBS) )))
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Sanitizer and fuzzing builds live in their own directories.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = $(basename $(notdir $(wildcard tests/fuzz/fuzz_*.cpp)))

# make soak polls this long (30 minutes unless told otherwise).
SOAK_SECONDS ?= 1800

.PHONY: all deps configure build test test-asan fuzz demo demo-service demo-web bench bench-service bench-web valgrind soak mutate package install-check clean

all: build

deps:
	@sh scripts/deps.sh

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(TEST_JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; the
# sanitizer options (halt on the first finding, leaks checked) are set per
# test in tests/CMakeLists.txt, so ctest in $(ASAN_BUILD) runs the same.
test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVALIN_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# Each libFuzzer target runs FUZZ_SECONDS, starting from the committed seeds;
# what it learns stays in $(FUZZ_BUILD)/corpus, crashes go to
# $(FUZZ_BUILD)/artifacts and fail the run.
fuzz:
	@sh scripts/deps.sh fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DORVALIN_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	@for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$target $(FUZZ_BUILD)/artifacts || exit 1; \
		echo "== $$target, $(FUZZ_SECONDS) s"; \
		$(FUZZ_BUILD)/tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$target- \
			$(FUZZ_BUILD)/corpus/$$target tests/fuzz/corpus/$$target || exit 1; \
	done

demo: deps
	$(MAKE) build
	sh scripts/demo.sh $(BUILD)

# orvalinctl serve with a broker of its own and three emulated modules;
# prints the mosquitto_sub/mosquitto_pub lines to try. Ctrl-C stops all.
demo-service: deps
	$(MAKE) build
	sh scripts/demo_service.sh $(BUILD)

# The service with its web page and API against three emulated modules;
# prints the URL, screenshots in $(BUILD)/demo-web-*.png.
demo-web: deps
	$(MAKE) build
	sh scripts/demo_web.sh $(BUILD)

# Micro-benchmarks, then the running panel on Xvfb: polling, reply to
# lamp, idle, start-up against a bare Qt window; then orvalinctl status and
# scan against the emulator at 9600 baud; then orvalinctl serve
# (bench-service) and its HTTP API (bench-web). Tables on screen, figures
# in $(BUILD)/bench.json, $(BUILD)/bench-cli.csv, $(BUILD)/bench-service*.json
# and $(BUILD)/bench-web.json.
bench:
	@sh scripts/deps.sh live
	$(MAKE) build
	sh scripts/bench.sh $(BUILD)
	$(MAKE) bench-service
	$(MAKE) bench-web

# orvalinctl serve against a broker and three emulated modules at 9600
# baud: set to frame and input to state latencies, CPU and wake-ups per
# exchange beside a minimal C loop's, peak RSS (SERVICE_SAMPLES latencies
# each); the line-paced schedule, the former one (one poll per interval) and
# the broker's default instead of set_tcp_nodelay; figures in
# $(BUILD)/bench-service*.json.
SERVICE_SAMPLES ?= 300
bench-service: deps
	$(MAKE) build
	$(BUILD)/bench/orvalin-service-bench --build $(BUILD) --samples $(SERVICE_SAMPLES) \
		--broker-nodelay --watch --out $(BUILD)/bench-service.json
	$(BUILD)/bench/orvalin-service-bench --build $(BUILD) --samples $(SERVICE_SAMPLES) \
		--broker-nodelay --one-poll-per-interval --out $(BUILD)/bench-service-former.json
	$(BUILD)/bench/orvalin-service-bench --build $(BUILD) --samples $(SERVICE_SAMPLES) \
		--out $(BUILD)/bench-service-default-broker.json

# orvalinctl serve with the HTTP API and no broker, three emulated modules
# at 9600 baud: POST to command frame, reply to event at 32 streams, the poll
# cadence and memory under 1,000 reads a second, CPU and RSS idle with 10
# streams; figures in $(BUILD)/bench-web.json.
bench-web: deps
	$(MAKE) build
	$(BUILD)/bench/orvalin-web-bench --build $(BUILD) --samples $(SERVICE_SAMPLES) \
		--out $(BUILD)/bench-web.json

# The panel under valgrind's memcheck, polling 5 s and then 10 s: the lost
# bytes must not grow with the run. Reports in $(BUILD)/valgrind.
valgrind:
	@sh scripts/deps.sh live valgrind
	$(MAKE) build
	sh scripts/live.sh valgrind $(BUILD) --seconds 5

# SOAK_SECONDS of polling with a click every second: resident memory flat
# (under 1 MB of growth after warm-up), no tick missed. Not part of make test.
soak:
	@sh scripts/deps.sh live
	$(MAKE) build
	sh scripts/live.sh soak $(BUILD) --seconds $(SOAK_SECONDS)

# The Debian package: $(BUILD)/orvalin_<version>_<arch>.deb.
package: deps
	$(MAKE) build
	cd $(BUILD) && cpack -G DEB

# Installs that package on this machine (as root), uses it, removes it again
# and checks that only the configuration is left. Not part of make test.
install-check: package
	@sh scripts/deps.sh install
	sh scripts/install_check.sh $(BUILD)

# Mutation run over src/ and tools/ in build-mutate/ (resumable; hours on two
# cores): the score per folder, the surviving mutants, and what only one test
# catches. MUTATE_ARGS="--count 200 --seed 2", or "--report" for the report of
# what is recorded. Not part of make test.
mutate:
	@sh scripts/deps.sh mutate
	python3 scripts/mutate.py $(MUTATE_ARGS)

# Every build folder the targets above make.
clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-mutate
