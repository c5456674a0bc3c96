# Thin wrapper over CMake so that a newcomer needs one command per job.
#   make run            build the program (and wendlemoor-locks), then run the
#                       parent with 10 children (N=-3: make run N=-3); needs
#                       only a compiler, CMake and make
#   make test           install what the tests need, build, then run every test
#                       but the 100-process one (make scale)
#   make asan / tsan    the whole test suite under AddressSanitizer+UBSan / ThreadSanitizer
#   make scale          the 100-process run (label "scale"), which make test leaves out
#   make bench          build and run the benchmarks, printing one table
#   make chaos          build wendlemoor-chaos and run it for 60 s with every
#                       fault our lock promises to survive (CHAOS_SECONDS=20
#                       make chaos for a shorter run);
#                       fails unless the verdict is clean
#   make report-card    build every lock module (build/modules/: each
#                       mechanism alone, and beside it <mechanism>+turns with
#                       a table of holders) and run each, and each adapter
#                       (adapters/; its library where it is missing; the
#                       Java and Go ones built into build/adapters/, a row
#                       "not supported" where that fails; the lock servers
#                       some start, chaos/server.h), under
#                       every fault class on its own and none, each cell
#                       until its fault struck 30 times or CARD_SECONDS=10
#                       (about 36 minutes on 2 cores); ROWS=fcntl,lockf and
#                       FAULTS=none,kill choose rows and columns;
#                       prints one table, writes build/report-card/
#                       report-card.json and the timelines of broken cells
#   make format-check   fail when clang-format would change any C or C++ file
#   make install PREFIX=P   build the library, the tools and the program, then
#                       install them under P (default /usr/local); see
#                       cmake/install.cmake for what goes where
#   make windows        cross-build Wendlemoor.exe and the tests for Windows
#                       in build-windows/ (mingw-w64, statically linked)
#   make windows-test   build, then run the portable and Windows tests under
#                       wine in a throwaway prefix inside build-windows/
# The Debian packages each command needs are listed in .ci/packages;
# .ci/ensure-packages installs the missing ones, or names the command that does.
# CMAKE_ARGS goes to every configure step (CI: -DWENDLEMOOR_WERROR=ON).
JOBS ?= 2
# How many tests run at once (CI runs the sanitizer suites one at a time:
# their short chaos runs must not starve each other of the 2 cores).
TEST_JOBS ?= $(JOBS)
N ?=
CHAOS_SECONDS ?= 60
CARD_SECONDS ?= 10
ROWS ?=
FAULTS ?= all
CMAKE_ARGS ?=
PREFIX ?= /usr/local
ENSURE = .ci/ensure-packages

.PHONY: build program run tests-build test scale scale-figures asan tsan bench chaos report-card format-check install windows windows-test clean

# Everything found: the tests are built when GoogleTest is installed.
build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build build -j$(JOBS)

# The program and its viewer alone: no test library needed.
program:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build build -j$(JOBS) --target Wendlemoor wendlemoor-locks

run: program
	cd build && ./Wendlemoor $(N)

tests-build:
	$(ENSURE) test
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWENDLEMOOR_TESTS=ON $(CMAKE_ARGS)
	cmake --build build -j$(JOBS)

test: tests-build
	ctest --test-dir build --output-on-failure -j$(JOBS) -LE scale

scale: tests-build
	ctest --test-dir build --output-on-failure -L scale

asan:
	$(ENSURE) test
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWENDLEMOOR_SANITIZE=address -DWENDLEMOOR_TESTS=ON $(CMAKE_ARGS)
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(TEST_JOBS) -LE scale

tsan:
	$(ENSURE) test
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DWENDLEMOOR_SANITIZE=thread -DWENDLEMOOR_TESTS=ON $(CMAKE_ARGS)
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j$(TEST_JOBS) -LE scale

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DWENDLEMOOR_BENCH=ON -DWENDLEMOOR_TESTS=OFF $(CMAKE_ARGS)
	cmake --build build-bench -j$(JOBS)
	cd build-bench && ./bench/wendlemoor_bench

chaos:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build build -j$(JOBS) --target wendlemoor-chaos
	./build/wendlemoor-chaos --seconds $(CHAOS_SECONDS)

# The packages first: the boost-* modules are built only where Boost is.
report-card:
	-$(ENSURE) report-card
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build build -j$(JOBS) --target wendlemoor-chaos wendlemoor_modules
	-cmake --build build -j$(JOBS) --target wendlemoor_adapters
	./build/wendlemoor-chaos --card --modules build/modules --command adapters/flock-command --command adapters/python-filelock --command adapters/python-fasteners --command adapters/python-portalocker --command adapters/python-fcntl-flock --command adapters/node-marker-file --command adapters/java-filechannel --command adapters/go-flock --command adapters/go-flock-shared --command adapters/python-flufl-lock --command adapters/python-filelock-soft --command adapters/node-proper-lockfile --command adapters/ruby-flock --command adapters/postgres-advisory --command adapters/postgres-advisory-shared --command adapters/redis-set-nx --command adapters/redis-set-nx-aof --command adapters/redis-py-lock --command adapters/etcd-lock --seconds $(CARD_SECONDS) --faults $(FAULTS) $(if $(ROWS),--rows $(ROWS)) --out build/report-card

format-check:
	$(ENSURE) format-check
	git ls-files '*.c' '*.cc' '*.h' | xargs clang-format --dry-run -Werror

# Only what is installed is built: the tests need not be.
install:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build build -j$(JOBS) --target installed
	cmake --install build --prefix $(PREFIX)

# Wine keeps its Windows installation in WINEPREFIX, made on first use (some
# seconds): a fresh one per test run, inside the build folder, so that no
# earlier run and nothing of the user's own wine is involved. Its mono and
# gecko installers are not wanted (they would ask through dialogs), and its
# debug channels stay quiet.
WINE_PREFIX = $(CURDIR)/build-windows/wine-prefix
WINE = WINEPREFIX=$(WINE_PREFIX) WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine

windows:
	$(ENSURE) windows
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWENDLEMOOR_TESTS=ON $(CMAKE_ARGS)
	cmake --build build-windows -j$(JOBS)

# Run from the build folder, where "./Wendlemoor" names the program. The
# prefix goes once its wine server has ended, whatever the tests' result.
windows-test: windows
	$(ENSURE) windows-test
	rm -rf $(WINE_PREFIX)
	cd build-windows && $(WINE) tests/wendlemoor_tests.exe; \
	  status=$$?; WINEPREFIX=$(WINE_PREFIX) wineserver -w; \
	  rm -rf $(WINE_PREFIX); exit $$status

clean:
	rm -rf build build-asan build-tsan build-bench build-clang build-windows

# Wall time, CPU time of all processes together and the largest peak resident
# memory of any one process, for a 100-child run (needs the "time" package).
scale-figures: program
	$(ENSURE) scale-figures
	cd build && /usr/bin/time -f "Wendlemoor -100: wall %e s, CPU %U s user + %S s system, largest peak RSS %M KiB" ./Wendlemoor -100 > /dev/null
