# A thin layer over the CMake presets. `make run` and `make test` install what is missing first.
.PHONY: run test test-asan test-tsan test-poll test-windows package package-windows check-packages fuzz \
	fuzz-smoke bench stress stress-smoke check-pipeline clean

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WINE_PREFIX := $(CURDIR)/build/mingw/wineprefix
WINE_ENV := WINEPREFIX=$(WINE_PREFIX) WINEDEBUG=-all DISPLAY=
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5

# The build says what it does on standard error (set -x echoes each command there), so that
# `make run > trace.log` keeps only the program's standard output.
run:
	@{ scripts/prerequisites.sh native && set -x && cmake --preset release && \
	  cmake --build --preset release -j $(JOBS) --target farspeak; } >&2
	@build/release/receiver/farspeak

test:
	@scripts/prerequisites.sh native
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	ctest --preset release

test-asan:
	@scripts/prerequisites.sh native
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

# The tests whose code runs on several threads (spin lock, counted references, mutex, standard
# error's queue).
test-tsan:
	@scripts/prerequisites.sh native
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

# The whole suite with readiness from poll(2), the backend for a POSIX system without epoll, so
# that it stays true.
test-poll:
	@scripts/prerequisites.sh native
	cmake --preset poll
	cmake --build --preset poll -j $(JOBS)
	ctest --preset poll

# Wine is prepared before CTest drives it: its server is started persistent and the prefix is
# built once, so that no test waits on Wine's background start-up holding the output pipe open.
test-windows:
	@scripts/prerequisites.sh windows
	cmake --preset mingw
	cmake --build --preset mingw -j $(JOBS)
	mkdir -p $(WINE_PREFIX)
	$(WINE_ENV) wineserver -p
	$(WINE_ENV) wine wineboot -i >/dev/null 2>&1
	$(WINE_ENV) ctest --preset mingw; status=$$?; $(WINE_ENV) wineserver -k; exit $$status

# The packages, in build/packages: a .deb and a .tar.gz from the release build, a .zip from the
# Windows one. CPack builds everything before it installs, one job at a time, so the build that
# comes first runs the jobs side by side.
package:
	@scripts/prerequisites.sh native package
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	cpack --preset release

package-windows:
	@scripts/prerequisites.sh windows package
	cmake --preset mingw
	cmake --build --preset mingw -j $(JOBS)
	cpack --preset mingw

# What CI checks of the packages: the programs they hold run and report the project's version,
# and lintian finds no error in the .deb.
check-packages: package package-windows
	scripts/check-packages.sh

# The libFuzzer targets (clang), each run for FUZZ_SECONDS; inputs that broke a check are kept in
# build/fuzz/artifacts/<target>/. fuzz-smoke is the short run CI makes.
fuzz:
	@scripts/prerequisites.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS)

# The bench runs farspeak and socat, each in turn, each on a free port.
bench:
	@scripts/prerequisites.sh native bench
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target farspeak farspeak-bench
	build/release/bench/farspeak-bench build/release/receiver/farspeak

# The hostile-client suite: every scenario against a fresh farspeak on a free port. stress-smoke is
# the short run CI makes.
stress:
	@scripts/prerequisites.sh native
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target farspeak farspeak-stress
	build/release/bench/farspeak-stress $(STRESS_OPTIONS) build/release/receiver/farspeak

stress-smoke:
	$(MAKE) stress STRESS_OPTIONS=--smoke

# examples/syslog-ng end to end: farspeak --json under one syslog-ng, which forwards its records
# to a second one that writes them to a file. Each takes a free loopback port: no port lock.
check-pipeline:
	@scripts/prerequisites.sh native pipeline
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target farspeak
	scripts/check-pipeline.sh build/release/receiver/farspeak

clean:
	rm -rf build
