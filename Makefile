# Thin wrapper over CMake so that a newcomer needs one command per job.
#   make run            build, then run the parent with 10 children (N=-3: make run N=-3)
#   make test           build, then run every test
#   make asan / tsan    the whole test suite under AddressSanitizer+UBSan / ThreadSanitizer
#   make scale          the 100-process run (label "scale"), which make test leaves out
#   make bench          build and run the benchmarks, printing one table
#   make format-check   fail when clang-format would change any C++ file
JOBS ?= 2
N ?=

.PHONY: build run test scale scale-figures asan tsan bench format-check clean

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS)

run: build
	cd build && ./Wendlemoor $(N)

test: build
	ctest --test-dir build --output-on-failure -j$(JOBS) -LE scale

scale: build
	ctest --test-dir build --output-on-failure -L scale

asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DWENDLEMOOR_SANITIZE=address
	cmake --build build-asan -j$(JOBS)
	ctest --test-dir build-asan --output-on-failure -j$(JOBS) -LE scale

tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DWENDLEMOOR_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -LE scale

bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DWENDLEMOOR_BENCH=ON -DWENDLEMOOR_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	cd build-bench && ./bench/wendlemoor_bench

format-check:
	git ls-files '*.cc' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build build-asan build-tsan build-bench

# Wall time, CPU time of all processes together and the largest peak resident
# memory of any one process, for a 100-child run (needs the "time" package).
scale-figures: build
	cd build && /usr/bin/time -f "Wendlemoor -100: wall %e s, CPU %U s user + %S s system, largest peak RSS %M KiB" ./Wendlemoor -100 > /dev/null
