# Wraps CMake: `make` builds, `make test` runs every test, `make asan` / `make tsan` run the
# fast ones (and, under ASan, a few end-to-end groups) under the sanitizers, `make install` and
# `make package` install or package the program. Each target first installs what the machine
# lacks for that purpose (scripts/install-deps.sh).
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build test test-current demo install package asan tsan fuzz format tidy clean

all: build

deps:
	@scripts/install-deps.sh build

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test:
	@scripts/install-deps.sh test
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSAUDIO_BUILD_TESTS=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS); status=$$?; \
	  ../scripts/install-deps.sh --skipped-servers | sed 's/^/make test: /'; exit $$status

# The end-to-end tests again, against Debian 13's servers (PipeWire 1.4, WirePlumber 0.5,
# PulseAudio 17) in a Debian 13 root kept in /var/cache/sysaudio-trixie (scripts/current-debian.sh),
# with the binary built here; CURRENT_CTEST_ARGS (e.g. `-R pipewire`) are handed to ctest there.
CURRENT_CTEST_ARGS ?=
test-current:
	@scripts/install-deps.sh current
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSAUDIO_BUILD_TESTS=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target sysaudio input_stream_tests
	@scripts/current-debian.sh --mount $(BUILD) -- \
	  ctest --test-dir $(abspath $(BUILD)) -L e2e --output-on-failure $(CURRENT_CTEST_ARGS)

install: build
	@DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package of the program alone, built with Debian's hardening flags.
package:
	@scripts/install-deps.sh package
	@eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)" && CXXFLAGS="$$CXXFLAGS $$CPPFLAGS" cmake -S . -B build-package \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSAUDIO_BUILD_TESTS=OFF \
	  -DSYSAUDIO_DEBIAN_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@cmake --build build-package -j $(JOBS)
	@cd build-package && cpack -G DEB >/dev/null && ls -1 "$$PWD"/sysaudio_*.deb

# Plays a spoken clip into a private sound server and leaves what sysaudio captured in demo/.
demo:
	@scripts/install-deps.sh demo
	@$(MAKE) --no-print-directory build
	@scripts/demo.sh $(BUILD)/sysaudio

# Under the sanitizers: the fast tests (unit and service, label `fast`), and under ASan+UBSan
# also the real binary through the end-to-end groups that start it, fail its start and end it.
# TSan keeps to the fast tests: the program loads libpulse, which is not built for it.
ASAN_E2E ?= ^e2e[.](pulseaudio[.](TerminationTest|ReconnectTest)|NoServerTest)$$

asan:
	@scripts/install-deps.sh test
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSYSAUDIO_SANITIZE=address >/dev/null
	@cmake --build build-asan -j $(JOBS) --target unit_tests soundserver_tests sysaudio
	@cd build-asan && ctest --output-on-failure -j $(JOBS) -L fast
	@cd build-asan && ctest --output-on-failure -R '$(ASAN_E2E)'

tsan:
	@scripts/install-deps.sh test
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSYSAUDIO_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target unit_tests soundserver_tests
	@cd build-tsan && ctest --output-on-failure -j $(JOBS) -L fast

# The sample-path fuzzer under ASan+UBSan (clang's libFuzzer), for FUZZ_SECONDS, starting from the
# kept corpus; new findings of interest go to build-fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/install-deps.sh test
	@CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSAUDIO_SANITIZE=address >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target sample-path-fuzzer
	@mkdir -p build-fuzz/corpus
	@cd build-fuzz && ./sample-path-fuzzer -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
	  -print_final_stats=1 corpus ../tests/fuzz/corpus 2>&1 | grep -E '^(stat::number_of_executed_units|Done|==|SUMMARY)' ; \
	  test $${PIPESTATUS[0]} -eq 0

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

tidy: build
	@git ls-files 'src/*.cpp' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	@rm -rf build build-asan build-tsan build-fuzz build-package
