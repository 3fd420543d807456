# zolt: make (the release executable, build/zolt), make run, make stop, make test, make clean.
# Every release executable is static against musl: make (x86-64), make arm (every 32-bit ARM
# from ARMv5TE up, soft float), make arm64 (64-bit ARM), make mips and make mipsel (MIPS32r2
# routers, soft float), make i386, riscv64, ppc64le and s390x; make release puts the nine in
# dist/. The tests are built against glibc and start those executables: make test, and make
# test-ARCH (under qemu-user) and test-ARCH-system (inside a kernel). make test SANITIZE=1 runs
# them against a glibc build with AddressSanitizer and UndefinedBehaviorSanitizer. The build
# machine is x86-64 Debian.

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PORT ?= 8181
# Warnings are errors in the test builds, which developers and CI run, and in every build with
# WERROR=1 (CI); a user's plain make with another compiler still builds.
WERROR ?= 0
werror = -DZOLT_WERROR=$(if $(filter 1,$(WERROR)),ON,OFF)
# Each target first makes sure the Debian packages it uses are there (tools/need-packages);
# a package build, whose Build-Depends say what it needs, sets NEED_PACKAGES=true.
NEED_PACKAGES ?= tools/need-packages

# The targets built with a cross compiler; make alone builds x86-64.
cross = arm arm64 mips mipsel i386 riscv64 ppc64le s390x

.PHONY: all build deps deps-test test run stop clean release \
	$(cross) $(cross:%=test-%) $(cross:%=test-%-build) $(cross:%=test-%-system) test-mips64el-system \
	bench-builds deb test-deb test-systemd image test-image bench bench-quick bench-before fuzz install install-files uninstall

# $(call build_tree,DIRECTORY,TOOLCHAIN,CMAKE FLAGS): configure and build one tree; TOOLCHAIN
# names a file in cmake/, or nothing for the host's compiler and glibc.
build_tree = cmake -S . -B $(1) $(if $(2),-DCMAKE_TOOLCHAIN_FILE=cmake/$(2).cmake) \
	-DCMAKE_BUILD_TYPE=Release $(werror) $(3) >/dev/null && cmake --build $(1) -j $(JOBS) -- --no-print-directory
# $(call test_tree,DIRECTORY,TIMEOUT): every test of a tree through CTest.
test_tree = cd $(1) && ctest --output-on-failure -j 4 --timeout $(2)

all: build

deps:
	@$(NEED_PACKAGES) build

deps-test:
	@$(NEED_PACKAGES) build test
	@$(NEED_PACKAGES) clients || echo "the real-client test will say what it skipped"

build: deps
	@$(call build_tree,build,x86_64-linux-musl)

ifeq ($(SANITIZE),1)
test: deps-test
	@$(call build_tree,build-sanitize,,-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOLT_SANITIZE=ON \
		-DZOLT_WERROR=ON)
	@$(call test_tree,build-sanitize,300)
else
test: deps-test build
	@$(call build_tree,build-test,,-DZOLT_BINARY=$(CURDIR)/build/zolt -DZOLT_WERROR=ON)
	@$(call test_tree,build-test,300)
endif

run: build
	@tools/run-sample build/zolt $(PORT) www

stop:
	@tools/stop-sample www

# Each cross target's toolchain files: its release executable's, static against musl (Debian's
# musl, or for routers' soft-float MIPS32r2 of each byte order and for riscv64, which Debian
# builds none for, one built here from Debian's own source package: tools/musl-from-source),
# and its tests', built against its glibc and run under qemu-user, starting that executable.
toolchains = arm:arm-linux-musleabi:arm-linux-gnueabi arm64:aarch64-linux-musl:aarch64-linux-gnu \
	mips:mips-linux-muslsf:mips-linux-gnu mipsel:mipsel-linux-muslsf:mipsel-linux-gnu \
	i386:i686-linux-musl:i686-linux-gnu riscv64:riscv64-linux-musl:riscv64-linux-gnu \
	ppc64le:powerpc64le-linux-musl:powerpc64le-linux-gnu s390x:s390x-linux-musl:s390x-linux-gnu
toolchain = $(word $(2),$(subst :, ,$(filter $(1):%,$(toolchains))))
musl_from_source = mips mipsel riscv64

$(cross):
	@$(NEED_PACKAGES) build $@
	@$(if $(filter $@,$(musl_from_source)),tools/musl-from-source $@)
	@$(call build_tree,build-$@,$(call toolchain,$@,2))

$(cross:%=test-%-build): test-%-build: % deps-test
	@tools/need-packages emulator
	@$(call build_tree,build-$*-test,$(call toolchain,$*,3),-DZOLT_WERROR=ON \
		-DZOLT_BINARY=$(CURDIR)/build-$*/zolt)

$(cross:%=test-%): test-%: test-%-build
	@$(call test_tree,build-$*-test,400)

# The same tests inside Debian's own ARM kernels, booted under full-system emulation.
test-arm-system: test-arm-build
	@tools/need-packages guest
	@tools/run-guest arm
	@tools/run-guest rpi

test-arm64-system: test-arm64-build
	@tools/need-packages guest
	@tools/run-guest arm64

# Debian's malta kernel (MIPS32, little-endian), and its 64-bit one running the same o32
# executable; Debian has no big-endian MIPS kernel, so the big-endian guest's is built from
# Debian's kernel source (tools/build-kernel, cached in build-mips-system/).
test-mipsel-system: test-mipsel-build
	@tools/need-packages guest-mips
	@tools/run-guest mipsel

test-mips64el-system: test-mipsel-build
	@tools/need-packages guest-mips
	@tools/run-guest mips64el

test-mips-system: test-mips-build
	@tools/need-packages guest-mips mips-kernel
	@tools/run-guest mips

# Debian's 686, powerpc64le and s390x kernels; Debian 12 has no riscv64 kernel, so that guest's
# is built from Debian's kernel source (cached in build-riscv64-system/).
test-i386-system test-ppc64le-system test-s390x-system: test-%-system: test-%-build
	@tools/need-packages guest-$*
	@tools/run-guest $*

test-riscv64-system: test-riscv64-build
	@tools/need-packages guest-riscv64 riscv64-kernel
	@tools/run-guest riscv64

# The nine release executables and their checksums. The builds are reproducible: no build
# id, no timestamp and no path goes into an executable, so building again gives the same bytes.
released = x86_64:build arm32-any:build-arm arm64:build-arm64 mips-sf:build-mips \
	mipsel-sf:build-mipsel i386:build-i386 riscv64:build-riscv64 ppc64le:build-ppc64le \
	s390x:build-s390x
release: build $(cross)
	@mkdir -p dist
	@$(foreach r,$(released),cp $(lastword $(subst :, ,$(r)))/zolt dist/zolt-$(firstword $(subst :, ,$(r))) &&) true
	@cd dist && sha256sum $(foreach r,$(released),zolt-$(firstword $(subst :, ,$(r)))) \
		>SHA256SUMS && cat SHA256SUMS

# The container image (tools/make-image), FROM scratch: one OCI index for amd64, arm64, 32-bit
# ARM v5, v6 and v7 and both MIPS byte orders in dist/zolt-image.oci.tar, reproducible; the
# host's image is loaded into podman's storage as localhost/zolt:VERSION (as root, the
# system's). test-image runs it under podman (as root; CI runs it).
VERSION = $(shell dpkg-parsechangelog -S Version)
image: release
	@tools/need-packages container
	@tools/make-image dist www dist/zolt-image.oci.tar
	@skopeo copy -q oci-archive:dist/zolt-image.oci.tar:$(VERSION) \
		containers-storage:localhost/zolt:$(VERSION)
	@echo "loaded localhost/zolt:$(VERSION)"

test-image: image
	@tests/image-test dist/zolt-image.oci.tar

# Debian packages for Debian 12's nine architectures in dist/ (armhf and armel hold the same
# 32-bit ARM executable, mipsel and mips64el the same MIPS one), lintian-clean (tools/make-deb),
# and the amd64 one installed, checked and purged on this machine (as root; it changes the system).
deb:
	@tools/need-packages build arm arm64 mips mipsel i386 ppc64le s390x source deb
	@tools/make-deb

test-deb:
	@tools/need-packages deb
	@tests/deb-test dist/zolt_*_amd64.deb

# The amd64 package under a real systemd: Debian 12 made with mmdebstrap (kept in
# build-systemd/), the package built afresh and installed by apt, booted under
# qemu-system-x86_64 without a network; tests/systemd/checks runs there (as root; CI runs it).
test-systemd:
	@tools/need-packages build deb systemd-guest
	@tools/make-deb amd64 >/dev/null
	@tools/systemd-guest dist/zolt_$(VERSION)_amd64.deb

# The benchmark's comparisons: the same program static against glibc, and the release build
# without its sandbox.
bench-builds: deps
	@$(call build_tree,build-glibc,,-DZOLT_TESTS=OFF)
	@$(call build_tree,build-nosandbox,x86_64-linux-musl,-DZOLT_SANDBOX=OFF)

# The request decisions and the log entry formatting under libFuzzer, with AddressSanitizer
# and UndefinedBehaviorSanitizer: each first over its committed corpus, then over new inputs
# for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZ_FLAGS := -std=c++20 -g -O1 -D_FILE_OFFSET_BITS=64 -I. \
	-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
fuzz:
	@tools/need-packages fuzz
	@mkdir -p build-fuzz/request-corpus build-fuzz/log-corpus
	@clang++ $(FUZZ_FLAGS) fuzz/request_fuzzer.cpp http/request.cpp -o build-fuzz/request_fuzzer
	@clang++ $(FUZZ_FLAGS) fuzz/log_fuzzer.cpp log/logger.cpp -o build-fuzz/log_fuzzer
	@build-fuzz/request_fuzzer -runs=0 fuzz/corpus
	@build-fuzz/log_fuzzer -runs=0 fuzz/log-corpus
	@for fuzzer in request log; do \
		corpus=fuzz/corpus length=9000; \
		[ $$fuzzer = log ] && corpus=fuzz/log-corpus length=40000; \
		echo "$$fuzzer fuzzer, $(FUZZ_SECONDS) s:"; \
		build-fuzz/$${fuzzer}_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=$$length \
			-print_final_stats=1 build-fuzz/$$fuzzer-corpus $$corpus \
			>build-fuzz/$$fuzzer.log 2>&1; status=$$?; \
		tail -n 12 build-fuzz/$$fuzzer.log; [ $$status = 0 ] || exit $$status; \
	done

# Side by side with nginx, lighttpd, busybox httpd and mini_httpd (as root; about 8 minutes,
# or about a minute for the quick look). Not a test: make test times nothing.
bench: build bench-builds
	@tools/need-packages bench
	@python3 bench/bench.py

bench-quick: build bench-builds
	@tools/need-packages bench
	@mkdir -p bench/work
	@python3 bench/bench.py --rounds 1 --seconds 2 --out bench/quick.md

# This build beside an earlier executable (make bench-before BEFORE=path/to/zolt), each as root
# and as user 65534, as the service and the image run it, and as a container's process 1:
# bench/unprivileged.md (as root; about 8 minutes).
bench-before: build bench-builds
	@test -n "$(BEFORE)" || { echo "make bench-before BEFORE=path/to/an/earlier/zolt"; exit 2; }
	@tools/need-packages bench
	@python3 bench/bench.py --before $(BEFORE) --rounds 3 --seconds 5 --out bench/unprivileged.md \
		--only zolt,zolt-user,zolt-container,zolt-before,zolt-before-user,zolt-before-container

# GNU-style installation: make install [PREFIX=/usr/local] [DESTDIR=staging].
PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
MANDIR ?= $(PREFIX)/share/man
INSTALL_BINARY ?= build/zolt
# The files are installed once the build has ended, also under make -j: the binary is the one
# make just built in build/.
install: build
	@$(MAKE) --no-print-directory install-files

install-files:
	install -d "$(DESTDIR)$(BINDIR)" "$(DESTDIR)$(MANDIR)/man1"
	install -m 0755 $(INSTALL_BINARY) "$(DESTDIR)$(BINDIR)/zolt"
	install -m 0644 docs/zolt.1 "$(DESTDIR)$(MANDIR)/man1/zolt.1"

uninstall:
	rm -f "$(DESTDIR)$(BINDIR)/zolt" "$(DESTDIR)$(MANDIR)/man1/zolt.1"

clean:
	rm -rf build build-* dist
