# The two commands of this project: `make run` and `make test`. Both install what they need
# (Debian packages, through sudo when not root) and build first.

BUILD ?= build
BUILD_SAN ?= build-sanitize
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 20
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps build run test check test-sanitize fuzz soak screenshot clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run-demo.sh $(BUILD)

# Everything: the suite, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and a short run of every fuzzer.
test: check test-sanitize fuzz

# The suite alone, for a quick round while working.
check: build
	@QT_QPA_PLATFORM=offscreen ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Leak checking stays on for every test, the GUI tests included; the only suppression is
# libdbus's own buffer in the program the end-to-end tests start (tests/e2e/lsan.supp).
test-sanitize: deps
	@cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=ON -DKOVA_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(BUILD_SAN) -j $(JOBS)
	@QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure -j $(JOBS)

# Each libFuzzer harness for FUZZ_SECONDS, built with clang++ in a directory of its own.
fuzz: deps
	@cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKOVA_FUZZ=ON -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF -DKOVA_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) --target kova_fuzzers
	@ctest --test-dir $(BUILD_FUZZ) --output-on-failure -j $(JOBS)

# The long soak of RELIABILITY.md (about an hour); see bench/soak.sh for its arguments.
soak: build
	@bash bench/soak.sh $(BUILD)

screenshot: build
	@bash scripts/screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ)
