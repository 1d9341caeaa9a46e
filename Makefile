# A thin layer over the CMake presets. `make run` and `make test` install what is missing first.
.PHONY: run test test-asan test-tsan test-windows bench clean

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
WINE_PREFIX := $(CURDIR)/build/mingw/wineprefix
WINE_ENV := WINEPREFIX=$(WINE_PREFIX) WINEDEBUG=-all DISPLAY=

run:
	@scripts/prerequisites.sh native
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target farspeak
	build/release/receiver/farspeak

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

# The tests whose code runs on several threads (spin lock, counted references, mutex).
test-tsan:
	@scripts/prerequisites.sh native
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

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

bench:
	@echo "No benchmarks yet."

clean:
	rm -rf build
