# SPDX-License-Identifier: MIT
# Thin front end over the CMake presets. `make demo` and `make test` are the
# two Quick start commands and install what is missing first; `make deps`
# installs the packages of every target. The other targets only check for
# them and name the command that installs what is missing.
JOBS ?= $(shell nproc)
# Package kinds `make deps` installs (see scripts/install-deps.sh).
DEPS ?= build test demo bench fuzz lint package
CHECK_DEPS = scripts/install-deps.sh --check
CTEST_ARGS ?=
# Seconds of fuzzing per target for `make fuzz`; `make fuzz-smoke` gives each 10.
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo test test-asan test-tsan bench fuzz fuzz-smoke package format format-check lint clean

all: build

deps:
	scripts/install-deps.sh $(DEPS)

build:
	$(CHECK_DEPS) build
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo:
	scripts/install-deps.sh build demo
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	scripts/demo.sh

test:
	scripts/install-deps.sh build test
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -j $(JOBS) $(CTEST_ARGS) || { scripts/test-failures.sh build/default; exit 1; }

test-asan:
	$(CHECK_DEPS) build test
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ctest --preset asan -j $(JOBS) $(CTEST_ARGS) || { scripts/test-failures.sh build/asan; exit 1; }

# The threaded tests under ThreadSanitizer: every test labelled "threads" is
# built here. The H.264 hand-off test starts FFmpeg (fork, then exec) while
# its threads run, which ThreadSanitizer refuses unless told the child execs.
test-tsan:
	$(CHECK_DEPS) build test
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target tst_framehandoffstress tst_converterhandoff tst_decodepool \
		tst_h264handoff
	TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$(CURDIR)/tests/tsan.supp" ctest --preset tsan -L threads $(CTEST_ARGS)

fuzz:
	$(CHECK_DEPS) build fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target framescope_fuzzers
	fuzz/run.sh $(FUZZ_SECONDS)

fuzz-smoke:
	$(CHECK_DEPS) build fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target framescope_fuzzers
	fuzz/run.sh --smoke 10

bench:
	$(CHECK_DEPS) build bench
	cmake --preset release -DFRAMESCOPE_LATENCY_PROBE=ON
	cmake --build --preset release -j $(JOBS) --target framescope framescope-devicesim framescope-bench
	bench/run.sh build/release

# The Debian package of a release build, in build/package/.
package:
	$(CHECK_DEPS) build package
	cmake --preset package
	cmake --build --preset package -j $(JOBS)
	cpack --preset package

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails on any tracked source that `make format` would change.
format-check:
	$(CHECK_DEPS) lint
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# clang-tidy with the checks of .clang-tidy over the product sources, using
# the default preset's compile commands.
lint:
	$(CHECK_DEPS) build lint
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	scripts/lint.sh build/default

clean:
	rm -rf build
