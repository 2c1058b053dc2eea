# Front door of the project: `make test` builds and runs everything, `make demo` runs the
# simulated cabinet.

# Debian packages the build, the tests and the simulators need.
PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libsqlite3-dev sqlite3 \
            libfuse3-dev fuse3 snmpd snmp iproute2 procps tmux python3 util-linux clang-format clang-tidy \
            dpkg-dev file init-system-helpers groff-base man-db mandoc systemd

SOURCES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
JOBS ?= $(shell nproc)

PRESETS := dev asan release

.PHONY: all deps build test release demo package format lint lint-format clean \
        $(foreach step,configure build test,$(addprefix $(step)-,$(PRESETS)))

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -z "$$missing" ]; then echo "deps: all packages present"; \
	elif [ "$$(id -u)" = 0 ]; then \
	    echo "deps: installing$$(echo $$missing | sed 's/^/ /')"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	else echo "deps: as root, run: apt-get install -y$$(echo ' '$$missing)"; exit 1; fi

$(addprefix configure-,$(PRESETS)): configure-%: deps
	cmake --preset $*

$(addprefix build-,$(PRESETS)): build-%: configure-%
	cmake --build --preset $* -j $(JOBS)

$(addprefix test-,$(PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

build: build-dev
test: lint-format test-dev test-asan
release: build-release

# The six programs of the cabinet: all that a package holds.
PROGRAMS := callrelayd paneld stationtool sigstat sigcmd bsoncat

# The Debian package of the release build, build/release/cabinet_<version>_<arch>.deb.
package: configure-release
	cmake --build --preset release -j $(JOBS) --target $(PROGRAMS)
	cd build/release && cpack
	dpkg-deb --info build/release/cabinet_*.deb

# The demo needs only the programs and the simulators, not the tests. DEMO_ARGS, e.g.
# "--duration 30", is passed on to sim/cabinet.
DEMO_TARGETS := callrelayd paneld stationtool sigstat sigcmd bsoncat cidsim stationsim boardsim

demo: configure-release
	cmake --build --preset release -j $(JOBS) --target $(DEMO_TARGETS)
	./sim/cabinet demo $(DEMO_ARGS)

format:
	clang-format -i $(SOURCES)

lint-format: deps
	@clang-format --dry-run --Werror $(SOURCES) && echo "format: clean"

lint: lint-format configure-dev
	clang-tidy -p build/dev --quiet $(filter %.cpp,$(SOURCES))

clean:
	rm -rf build
