# Thin front end over CMake. `make test` and `make demo` install missing
# Debian packages first (that step needs root when something is missing).
JOBS ?= 2
ASAN_DIR := build/asan
REL_DIR := build/release
CMAKE_GEN := -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Rebuilds after a branch switch come from the compiler cache when there is one.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE),)

.PHONY: all deps release asan test demo bench clean format format-check

all: release

deps:
	@tools/install-deps.sh

release: deps
	@cmake -S . -B $(REL_DIR) $(CMAKE_GEN) $(LAUNCHER) -DHANA_TESTS=OFF >/dev/null
	@cmake --build $(REL_DIR) -j$(JOBS)

asan: deps
	@cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DHANA_SANITIZE=ON $(LAUNCHER) >/dev/null
	@cmake --build $(ASAN_DIR) -j$(JOBS)

# Unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the
# integration tests in private mount namespaces (root only; skipped otherwise).
test: asan
	@cd $(ASAN_DIR) && ctest --output-on-failure -j$(JOBS)

demo: release
	@tools/demo $(REL_DIR)

bench: release
	@bench/run $(REL_DIR)

# The house style (.clang-format): check, or apply it to every C++ file.
format-check: deps
	@tools/format.sh

format: deps
	@tools/format.sh --fix

clean:
	rm -rf build
