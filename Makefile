# Front door of the project: `make test` builds and runs everything, `make demo` runs the
# simulated cabinet.

# Debian packages the build, the tests and the simulators need: the second line is the reference
# libraries of the differential tests and benchmarks, then the fuzzers' compiler, and last the
# packaging checks' tools.
PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libsqlite3-dev libsystemd-dev sqlite3 \
            libbson-dev libsnmp-dev libbenchmark-dev \
            libfuse3-dev fuse3 snmpd snmp iproute2 procps tmux python3 util-linux clang-format clang-tidy \
            clang libclang-rt-14-dev llvm \
            dpkg-dev file init-system-helpers groff-base man-db mandoc systemd lintian

SOURCES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
JOBS ?= $(shell nproc)

PRESETS := dev asan release
# Cross builds, named by Debian architecture: armhf is the board, arm64 a 64-bit ARM board.
CROSS_PRESETS := armhf arm64

# Seconds each fuzz target runs in `make fuzz`, and in the smoke run that `make test` includes.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5

.PHONY: all deps build test release arm arm64 demo bench package package-arm format lint \
        deps-boot boot-test boot-test-arm \
        lint-format clean configure-fuzz build-fuzz fuzz fuzz-smoke \
        $(foreach step,configure build test,$(addprefix $(step)-,$(PRESETS) $(CROSS_PRESETS))) \
        $(addprefix deps-,$(CROSS_PRESETS)) $(addprefix sizes-,$(CROSS_PRESETS)) \
        $(addprefix package-,release $(CROSS_PRESETS))

all: build

# A cross build needs Debian's cross toolchain, qemu-user to run the tests, and the target's own
# libraries from the multiarch -dev packages (co-installable with the native ones).
cross_packages = crossbuild-essential-$(1) qemu-user \
                 $(addsuffix :$(1),libc6-dev libstdc++6 libsqlite3-dev libsystemd-dev libgtest-dev \
                     libfuse3-dev)

# Installs those of the packages $(1) (name, or name:arch) that are missing; $(2) is a foreign
# architecture to enable first. A name without architecture means the native one: once a foreign
# architecture is enabled, its copy of a package must not count as the native copy.
define install-missing
@native=$$(dpkg --print-architecture); \
missing=$$(for p in $(1); do arch=$${p#*:}; [ "$$arch" != "$$p" ] || arch=$$native; \
    dpkg-query -W -f='$${Status} $${Architecture}\n' $$p 2>/dev/null | \
    grep -Eq "^install ok installed ($$arch|all)\$$" || echo $$p; done); \
enable=$(if $(2),$$(dpkg --print-foreign-architectures | grep -qx $(2) || echo $(2))); \
if [ -z "$$missing" ]; then echo "deps: all packages present"; \
elif [ "$$(id -u)" = 0 ]; then \
    echo "deps: installing$$(echo $$missing | sed 's/^/ /')"; \
    if [ -n "$$enable" ]; then dpkg --add-architecture $$enable; fi; \
    apt-get update -qq -o DPkg::Lock::Timeout=600 && \
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 $$missing; \
else echo "deps: as root, run:$${enable:+ dpkg --add-architecture $$enable &&}" \
    "apt-get update && apt-get install -y$$(echo ' '$$missing)"; exit 1; fi
endef

deps:
	$(call install-missing,$(PACKAGES))

$(addprefix deps-,$(CROSS_PRESETS)): deps-%: deps
	$(call install-missing,$(call cross_packages,$*),$*)

$(addprefix configure-,$(PRESETS)): configure-%: deps
	cmake --preset $*

$(addprefix configure-,$(CROSS_PRESETS)): configure-%: deps-%
	cmake --preset $*

$(addprefix build-,$(PRESETS) $(CROSS_PRESETS)): build-%: configure-%
	cmake --build --preset $* -j $(JOBS)

$(addprefix test-,$(PRESETS) $(CROSS_PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

build: build-dev
test: lint-format test-dev test-asan fuzz-smoke
release: build-release
# The board's programs cross-built (release), every test run under qemu-user, and the size of
# each program once stripped, as it would be installed; arm64 likewise.
arm: test-armhf sizes-armhf
arm64: test-arm64 sizes-arm64

PROGRAMS := callrelayd paneld stationtool sigstat sigcmd bsoncat

$(addprefix sizes-,$(CROSS_PRESETS)): sizes-%: build-%
	@strip=$$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' build/$*/CMakeCache.txt); \
	mkdir -p build/$*/stripped; echo "stripped size in bytes ($*):"; \
	for p in $(PROGRAMS); do $$strip -o build/$*/stripped/$$p build/$*/bin/$$p && \
	    printf '  %-12s %8d\n' $$p $$(stat -c %s build/$*/stripped/$$p) || exit 1; done

# Debian packages, build/<preset>/cabinet_<version>_<arch>.deb, of the release build: `make
# package` for this machine, `make package-arm` for the board (armhf), `make package-arm64`;
# each must pass lintian without an error or a warning.
package: package-release
package-arm: package-armhf

$(addprefix package-,release $(CROSS_PRESETS)): package-%: configure-%
	cmake --build --preset $* -j $(JOBS) --target $(PROGRAMS)
	rm -f build/$*/cabinet_*.deb
	cd build/$* && cpack
	dpkg-deb --info build/$*/cabinet_*.deb
	dpkg-deb --contents build/$*/cabinet_*.deb
	lintian --no-cfg --fail-on error,warning build/$*/cabinet_*.deb

# The package installed on a booted Debian bookworm under qemu (software emulation) and checked
# there under systemd, through a reboot: amd64, and the board's armhf (see test/boot/run). The
# guest needs the peers the checks play: the CID, the stations and the display board.
BOOT_PACKAGES := mmdebstrap qemu-system-x86 qemu-system-arm qemu-utils e2fsprogs
BOOT_PEERS := boardsim cidsim stationsim

deps-boot: deps
	$(call install-missing,$(BOOT_PACKAGES))

boot-test: package deps-boot
	cmake --build --preset release -j $(JOBS) --target $(BOOT_PEERS)
	test/boot/run amd64

boot-test-arm: package-arm deps-boot
	cmake --build --preset armhf -j $(JOBS) --target $(BOOT_PEERS)
	test/boot/run armhf

# The demo needs only the programs and the simulators, not the tests. DEMO_ARGS, e.g.
# "--duration 30", is passed on to sim/cabinet.
DEMO_TARGETS := $(PROGRAMS) cidsim stationsim boardsim

demo: configure-release
	cmake --build --preset release -j $(JOBS) --target $(DEMO_TARGETS)
	./sim/cabinet demo $(DEMO_ARGS)

# One table of this project's code next to reference libraries and programs, measured in the
# release build (the whole-program rows need root; see bench/main.cpp).
bench: configure-release
	cmake --build --preset release -j $(JOBS) --target cabinetbench
	./build/release/bin/cabinetbench

# libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer), one per parser of
# outside bytes; fuzz/run runs each from its seeds in fuzz/corpus/ and saves any finding under
# build/fuzz/findings/.
configure-fuzz: deps
	cmake --preset fuzz

build-fuzz: configure-fuzz
	cmake --build --preset fuzz -j $(JOBS)

fuzz: build-fuzz
	fuzz/run $(FUZZ_SECONDS)

fuzz-smoke: build-fuzz
	fuzz/run $(FUZZ_SMOKE_SECONDS)

format:
	clang-format -i $(SOURCES)

lint-format: deps
	@clang-format --dry-run --Werror $(SOURCES) && echo "format: clean"

lint: lint-format configure-dev
	clang-tidy -p build/dev --quiet $(filter %.cpp,$(SOURCES))

clean:
	rm -rf build
