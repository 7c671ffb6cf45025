# The two commands of this project: `make run` and `make test`. Both install what they need
# (Debian packages, through sudo when not root) and build first. `make run` and `make build`
# install only what building and running take; the test targets add the test tools.

BUILD ?= build
BUILD_SAN ?= build-sanitize
BUILD_FUZZ ?= build-fuzz
BUILD_WIN ?= build-windows
BUILD_WIN_LINK ?= build-windows-link
FUZZ_SECONDS ?= 20
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps deps-test build run test check lint test-sanitize fuzz windows test-windows soak screenshot clean

# Every shell script and every C++ file of the tree, for the lint.
SCRIPTS := $(wildcard scripts/*.sh bench/*.sh tests/*/*.sh) .ci/run
CXX_SOURCES := $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' 2>/dev/null)

all: build

deps:
	@bash scripts/install-deps.sh build

deps-test:
	@bash scripts/install-deps.sh test

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run-demo.sh $(BUILD)

# Everything: the script lint, the suite, the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, a short run of every fuzzer, and the Windows program and its
# installer under Wine.
test: lint check test-sanitize fuzz test-windows

# The suite alone, for a quick round while working. A run that finds no tests fails: a tree
# configured without GoogleTest has none.
check: deps-test build
	@QT_QPA_PLATFORM=offscreen ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

# shellcheck over every script, with no exclusions, and clang-format's check of every C++ file.
lint: deps-test
	@shellcheck $(SCRIPTS)
	@echo "lint: $(words $(SCRIPTS)) scripts clean"
	@clang-format --dry-run --Werror $(CXX_SOURCES)
	@echo "lint: $(words $(CXX_SOURCES)) C++ files formatted"

# Leak checking stays on for every test, the GUI tests included; the only suppressions are
# what libdbus, libwayland-client and the UBSan runtime allocate and keep themselves in the
# program the end-to-end tests start (tests/e2e/lsan.supp).
test-sanitize: deps-test
	@cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=ON -DKOVA_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(BUILD_SAN) -j $(JOBS)
	@QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure --no-tests=error -j $(JOBS)

# Each libFuzzer harness for FUZZ_SECONDS, built with clang++ in a directory of its own.
fuzz: deps-test
	@cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKOVA_FUZZ=ON -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF -DKOVA_FUZZ_SECONDS=$(FUZZ_SECONDS) >/dev/null
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) --target kova_fuzzers
	@ctest --test-dir $(BUILD_FUZZ) --output-on-failure --no-tests=error -j $(JOBS)

# The program for Windows: Qt for Windows cross-built from Debian's source once per machine
# (scripts/build-qt-windows.sh, cached outside the clone), kova_en.exe against it, and the
# installer and the zip in $(BUILD_WIN).
windows: deps
	@bash scripts/install-deps.sh windows
	@bash scripts/package-windows.sh $(BUILD_WIN)

# Under Wine: the link library and the Win32 serial device, cross-built on their own
# ($(BUILD_WIN_LINK)) and run against the virtual panel on a pseudo-terminal; then the
# installer, installed silently, the installed program's window driven on the virtual panel,
# and the silent uninstall.
test-windows: deps-test
	@bash scripts/install-deps.sh windows
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target kova_sim wine_window_tests
	@cmake -S . -B $(BUILD_WIN_LINK) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_WIN_LINK) -j $(JOBS)
	@bash tests/windows/run-wine-tests.sh $(BUILD_WIN_LINK) $(BUILD)/tools/kova_sim/kova_sim
	@bash scripts/package-windows.sh $(BUILD_WIN)
	@bash tests/windows/run-wine-app-tests.sh $(BUILD_WIN) $(BUILD)

# The long soak of RELIABILITY.md (about half an hour on two cores); see bench/soak.sh for its
# arguments.
soak: build
	@bash bench/soak.sh $(BUILD)

screenshot: build
	@bash scripts/screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ) $(BUILD_WIN) $(BUILD_WIN_LINK)
