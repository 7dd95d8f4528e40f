# Convenience targets; the build itself is CMake.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: build run test bench asan tsan fuzz clean

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/kestrune

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	bash bench/run.sh $(BUILD)

# Undefined behaviour fails the test that meets it instead of only printing a warning.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_ASAN=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The tests where several threads run at once (TSAN_TESTS=. runs them all).
TSAN_TESTS ?= SearchThreads|UciThreads|UciEndToEnd|CommandLoop|TablebaseProbe.Threads|TexelCommand|TexelEndToEnd|AnalysisThreads
# Starting 256 search threads with their tables takes TSan over a minute, past that test's waits.
TSAN_SKIP ?= UciEndToEnd.HandshakeAndOptions

tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS) -R "$(TSAN_TESTS)" -E "$(TSAN_SKIP)"

# libFuzzer targets (clang); tests/fuzz/run.sh <seconds> builds them too and runs them.
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_commands fuzz_tablebase

clean:
	rm -rf build build-asan build-tsan build-fuzz
