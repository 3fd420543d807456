# zolt: make (release build), make run, make stop, make test, make clean.
# make test SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.

BUILD_DIR := build
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=Release
ifeq ($(SANITIZE),1)
BUILD_DIR := build-sanitize
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOLT_SANITIZE=ON
endif
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PORT ?= 8181

.PHONY: all build deps deps-test test run stop clean arm test-arm bench bench-quick fuzz \
	install install-files uninstall

all: build

deps-test:
	@tools/need-packages build test
	@tools/need-packages clients || echo "the real-client test will say what it skipped"

deps:
	@tools/need-packages build

build: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) -- --no-print-directory

test: deps-test build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j 4 --timeout 300

run: build
	@tools/run-sample $(BUILD_DIR)/zolt $(PORT) www

stop:
	@tools/stop-sample www

# 32-bit ARM: a static build-arm/zolt, and every test run under qemu-arm.
arm:
	@tools/need-packages build test arm
	@cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
		-DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-arm -j $(JOBS) -- --no-print-directory

test-arm: arm
	@cd build-arm && ctest --output-on-failure -j 4 --timeout 400

# The request decisions under libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer:
# first every input of the committed corpus, then new inputs for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	@tools/need-packages fuzz
	@mkdir -p build-fuzz/corpus
	@clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
		-I. fuzz/request_fuzzer.cpp http/request.cpp -o build-fuzz/request_fuzzer
	@build-fuzz/request_fuzzer -runs=0 fuzz/corpus
	@build-fuzz/request_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=9000 -print_final_stats=1 \
		build-fuzz/corpus fuzz/corpus >build-fuzz/fuzz.log 2>&1; status=$$?; \
		tail -n 20 build-fuzz/fuzz.log; exit $$status

# Side by side with nginx, lighttpd, busybox httpd and mini_httpd (as root; about 8 minutes,
# or about a minute for the quick look). Not a test: make test times nothing.
bench: build
	@tools/need-packages bench
	@python3 bench/bench.py

bench-quick: build
	@tools/need-packages bench
	@mkdir -p bench/work
	@python3 bench/bench.py --rounds 1 --seconds 2 --out bench/quick.md

# GNU-style installation: make install [PREFIX=/usr/local] [DESTDIR=staging].
PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
MANDIR ?= $(PREFIX)/share/man
INSTALL_BINARY ?= build/zolt
install: build install-files

install-files:
	install -d "$(DESTDIR)$(BINDIR)" "$(DESTDIR)$(MANDIR)/man1"
	install -m 0755 $(INSTALL_BINARY) "$(DESTDIR)$(BINDIR)/zolt"
	install -m 0644 docs/zolt.1 "$(DESTDIR)$(MANDIR)/man1/zolt.1"

uninstall:
	rm -f "$(DESTDIR)$(BINDIR)/zolt" "$(DESTDIR)$(MANDIR)/man1/zolt.1"

clean:
	rm -rf build build-*
