# Front door of the project: `make test` builds and runs everything, `make demo` runs the
# simulated cabinet.

# Debian packages the build, the tests and the simulators need.
PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libsqlite3-dev sqlite3 \
            libfuse3-dev fuse3 snmpd snmp iproute2 procps tmux python3 util-linux clang-format clang-tidy \
            clang libclang-rt-14-dev llvm

SOURCES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
JOBS ?= $(shell nproc)

PRESETS := dev asan release

# Seconds each fuzz target runs in `make fuzz`, and in the smoke run that `make test` includes.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5

.PHONY: all deps build test release demo format lint lint-format clean \
        configure-fuzz build-fuzz fuzz fuzz-smoke \
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
test: lint-format test-dev test-asan fuzz-smoke
release: build-release

# The demo needs only the programs and the simulators, not the tests. DEMO_ARGS, e.g.
# "--duration 30", is passed on to sim/cabinet.
DEMO_TARGETS := callrelayd paneld stationtool sigstat sigcmd bsoncat cidsim stationsim boardsim

demo: configure-release
	cmake --build --preset release -j $(JOBS) --target $(DEMO_TARGETS)
	./sim/cabinet demo $(DEMO_ARGS)

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
