# Convenience targets; the build itself is CMake.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: build run test bench asan tsan fuzz clean net

# The Release build is profile-guided: an instrumented engine (in $(BUILD)-pgo/train) runs the
# commands of bench/pgo-training.txt, and the engine of $(BUILD) is compiled with the profile this
# leaves in $(BUILD)-pgo/data. PGO=0 builds without it.
PGO ?= 1
PGO_DIR = $(abspath $(BUILD))-pgo

build:
ifeq ($(PGO),1)
	cmake -S . -B $(PGO_DIR)/train -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_PGO=generate \
		-DKESTRUNE_PGO_DATA=$(PGO_DIR)/data >/dev/null
	cmake --build $(PGO_DIR)/train -j $(JOBS) --target kestrune
	rm -rf $(PGO_DIR)/data
	cd $(PGO_DIR)/train && ./kestrune < $(CURDIR)/bench/pgo-training.txt >/dev/null
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_PGO=use -DKESTRUNE_PGO_DATA=$(PGO_DIR)/data >/dev/null
else
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_PGO= >/dev/null
endif
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
TSAN_TESTS ?= SearchThreads|NnueEndToEnd|NnueFiles|UciThreads|UciEndToEnd|CommandLoop|TablebaseProbe.Threads|TexelCommand|TexelEndToEnd|Analysis|PlayMoveOverhead|PlayStrength.Lowest|Chess960EndToEnd|MatchManager
# Starting 256 search threads with their tables takes TSan over a minute, past that test's waits.
TSAN_SKIP ?= UciEndToEnd.HandshakeAndOptions

tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS) -R "$(TSAN_TESTS)" -E "$(TSAN_SKIP)"

# libFuzzer targets (clang); tests/fuzz/run.sh <seconds> builds them too and runs them.
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_commands fuzz_tablebase fuzz_nnue

# Trains a network (see "The learned evaluation" in the README): make net DATA=<file or folder> [NET=...] [EPOCHS=...]
PYTHON ?= /usr/bin/python3
NET ?= nets/kestrune.nnue
EPOCHS ?= 4
net:
	@test -n "$(DATA)" || { echo "make net needs DATA=<file or folder of '<FEN> | <score> | <result>' lines>"; exit 1; }
	nice -n 5 $(PYTHON) train/train.py --data $(DATA) --out $(NET) --epochs $(EPOCHS) $(TRAINFLAGS)

clean:
	rm -rf build build-pgo build-asan build-tsan build-fuzz
