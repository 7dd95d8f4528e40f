# Convenience targets; the build itself is CMake.
BUILD ?= build
JOBS ?= $(shell nproc)

# OpenBench's workers build with `make -j EXE=<name>` (and CXX=<compiler>, EVALFILE=<network>):
# the engine of `make build`, copied to that name.
EXE ?=
EVALFILE ?=
CMAKE_ARGS ?=
CONFIGURE_ARGS = $(if $(filter-out default,$(origin CXX)),-DCMAKE_CXX_COMPILER=$(CXX)) \
	$(if $(EVALFILE),-DKESTRUNE_EVALFILE=$(abspath $(EVALFILE))) $(CMAKE_ARGS)
# the targets of cmake --build; empty builds them all
TARGET ?=

.DEFAULT_GOAL := $(if $(EXE),exe,build)
.PHONY: build exe run test test-slow bench asan tsan fuzz clean data net net-train

# The Release build is profile-guided: an instrumented engine (in $(BUILD)-pgo/train) runs the
# commands of bench/pgo-training.txt, and the engine of $(BUILD) is compiled with the profile this
# leaves in $(BUILD)-pgo/data. PGO=0 builds without it; the profile steps are GCC's, so a clang
# build (CXX=clang++) has none.
PGO ?= $(if $(findstring clang,$(shell $(CXX) --version 2>/dev/null)),0,1)
PGO_DIR = $(abspath $(BUILD))-pgo

build:
ifeq ($(PGO),1)
	cmake -S . -B $(PGO_DIR)/train -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_PGO=generate \
		-DKESTRUNE_PGO_DATA=$(PGO_DIR)/data $(CONFIGURE_ARGS) >/dev/null
	cmake --build $(PGO_DIR)/train -j $(JOBS) --target kestrune
	rm -rf $(PGO_DIR)/data
	cd $(PGO_DIR)/train && ./kestrune < $(CURDIR)/bench/pgo-training.txt >/dev/null
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_PGO=use -DKESTRUNE_PGO_DATA=$(PGO_DIR)/data \
		$(CONFIGURE_ARGS) >/dev/null
else
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_PGO= $(CONFIGURE_ARGS) >/dev/null
endif
	cmake --build $(BUILD) -j $(JOBS) $(if $(TARGET),--target $(TARGET))

# Only the engine is built for EXE; the name may have folders.
exe: TARGET = kestrune
exe: build
	@test -n "$(EXE)" || { echo "make exe needs EXE=<name>"; exit 1; }
	mkdir -p "$(dir $(EXE))"
	cp $(BUILD)/kestrune "$(EXE)"

run: build
	$(BUILD)/kestrune

# Without GoogleTest the engine builds but the tests do not: one line says how to get it. A build
# configured without it looks again first, so that installing it is enough.
GTEST_HINT = make test needs GoogleTest, which CMake did not find: install it (Debian: apt-get install libgtest-dev) and run make test again
test:
	@if [ -f $(BUILD)/gtest-missing ]; then cmake -S . -B $(BUILD) >/dev/null; fi
	@if [ -f $(BUILD)/gtest-missing ]; then echo "$(GTEST_HINT)"; exit 1; fi
	@$(MAKE) --no-print-directory build
	@if [ -f $(BUILD)/gtest-missing ]; then echo "$(GTEST_HINT)"; exit 1; fi
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# The slow tests: the engine built again without GoogleTest, games under the match manager.
test-slow:
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L slow

bench: build
	bash bench/run.sh $(BUILD)

# Training data from self-play (train/datagen.sh): CHUNKS chunks of 2000 games into data/.
CHUNKS ?= 10
data: build
	ENGINE=$(BUILD)/kestrune bash train/datagen.sh $(CHUNKS)

# Undefined behaviour fails the test that meets it instead of only printing a warning.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_ASAN=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The tests where several threads run at once (TSAN_TESTS=. runs them all).
TSAN_TESTS ?= SearchThreads|^Trainer\.|NnueEndToEnd|NnueFiles|UciThreads|UciEndToEnd|CommandLoop|ClientsEndToEnd|TablebaseProbe.Threads|TexelCommand|TexelEndToEnd|Analysis|PlayMoveOverhead|PlayStrength.Lowest|Chess960EndToEnd|MatchManager
# Starting 256 search threads with their tables takes TSan over a minute, past that test's waits.
TSAN_SKIP ?= UciEndToEnd.HandshakeAndOptions

tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS) -R "$(TSAN_TESTS)" -E "$(TSAN_SKIP)"

# libFuzzer targets (clang); tests/fuzz/run.sh <seconds> builds them too and runs them.
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_commands fuzz_tablebase fuzz_nnue fuzz_decompress fuzz_convert

# Trains a network (see "The learned evaluation" in the README): make net [DATA=data] [NET=...]
# runs the whole recipe of train/train_net.sh on the games of a data folder (train/datagen.sh);
# make net-train DATA=<file or folder> [NET=...] [EPOCHS=...] [TRAINFLAGS=...] one run of the C++
# trainer on '<FEN> | <score> | <result>' lines.
NET ?= nets/kestrune.nnue
EPOCHS ?= 4
DATA_HINT = needs DATA=<file or folder of '<FEN> | <score> | <result>' lines>
net:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CONFIGURE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kestrune kestrune_trainer
	ENGINE=$(BUILD)/kestrune TRAINER=$(BUILD)/kestrune_trainer nice -n 5 bash train/train_net.sh $(or $(DATA),data) $(NET)

net-train:
	@test -n "$(DATA)" || { echo "make net-train $(DATA_HINT)"; exit 1; }
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CONFIGURE_ARGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target kestrune_trainer
	nice -n 5 $(BUILD)/kestrune_trainer --data $(DATA) --out $(NET) --epochs $(EPOCHS) $(TRAINFLAGS)

clean:
	rm -rf build build-pgo build-asan build-tsan build-fuzz
