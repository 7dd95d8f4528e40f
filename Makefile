# Convenience targets; the build itself is CMake.
JOBS ?= $(shell nproc)

# The target: ARCH=native (the default: this machine's processor), x86-64 (any 64-bit x86),
# x86-64-v3 (AVX2, BMI2, POPCNT) or armv8 (64-bit ARM with NEON); OS=linux (the default) or
# windows (cross-compiled with MinGW-w64 into one static .exe). Each target other than the default
# builds in a folder of its own, build-[windows-]<arch>; a target this machine cannot run
# (ARCH=armv8 on an x86 machine, OS=windows) builds only the engine, with a cross compiler.
ARCH ?= native
OS ?= linux
HOST_ARCH := $(shell uname -m)
ifeq ($(OS),windows)
  ifeq ($(ARCH),armv8)
    $(error OS=windows is built for x86 processors: ARCH=x86-64, x86-64-v3 or native)
  endif
  CROSS_CXX = x86_64-w64-mingw32-g++-posix
  CROSS_ARGS = -DCMAKE_SYSTEM_NAME=Windows
  EXE_SUFFIX = .exe
else ifneq ($(OS),linux)
  $(error OS is linux or windows, not $(OS))
else ifeq ($(ARCH)-$(filter aarch64 arm64,$(HOST_ARCH)),armv8-)
  CROSS_CXX = aarch64-linux-gnu-g++
  CROSS_ARGS = -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
endif
TARGET_NAME = $(if $(filter windows,$(OS)),windows-)$(ARCH)
BUILD ?= $(if $(filter linux-native,$(OS)-$(ARCH)),build,build-$(TARGET_NAME))
COMPILER = $(if $(filter-out default,$(origin CXX)),$(CXX),$(or $(CROSS_CXX),$(CXX)))
# x86-64-v3 runs here (for its profile and its tests) only on a processor that has AVX2 and BMI2.
HOST_HAS_V3 := $(shell grep -qw avx2 /proc/cpuinfo 2>/dev/null && grep -qw bmi2 /proc/cpuinfo 2>/dev/null && echo yes)
RUNS_HERE = $(if $(CROSS_CXX),,$(if $(filter x86-64-v3,$(ARCH)),$(HOST_HAS_V3),yes))

# OpenBench's workers build with `make -j EXE=<name>` (and CXX=<compiler>, EVALFILE=<network>):
# the engine of `make build`, copied to that name.
EXE ?=
EVALFILE ?=
# ON: the release form of the engine (static, stripped, reproducible), as make release builds it
RELEASE_BUILD ?= OFF
CMAKE_ARGS ?=
CONFIGURE_ARGS = $(if $(filter-out default,$(origin CXX))$(CROSS_CXX),-DCMAKE_CXX_COMPILER=$(COMPILER)) \
	$(CROSS_ARGS) -DKESTRUNE_ARCH=$(ARCH) -DKESTRUNE_RELEASE=$(RELEASE_BUILD) $(if $(EVALFILE),-DKESTRUNE_EVALFILE=$(abspath $(EVALFILE))) $(CMAKE_ARGS)
# the targets of cmake --build; empty builds them all (a cross build: the engine alone)
TARGET ?= $(if $(CROSS_CXX),kestrune)

.DEFAULT_GOAL := $(if $(EXE),exe,build)
.PHONY: build exe run test test-slow bench asan tsan tune fuzz clean data net net-train release install

# The Release build is profile-guided: an instrumented engine (in $(BUILD)-pgo/train) runs the
# commands of bench/pgo-training.txt, and the engine of $(BUILD) is compiled with the profile this
# leaves in $(BUILD)-pgo/data. PGO=0 builds without it; the profile steps are GCC's, so a clang
# build (CXX=clang++) has none, and neither has a target this machine cannot run.
PGO ?= $(if $(findstring clang,$(shell $(COMPILER) --version 2>/dev/null)),0,$(if $(RUNS_HERE),1,0))
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
	@echo "engine: $(BUILD)/kestrune$(EXE_SUFFIX)"

# Only the engine is built for EXE; the name may have folders.
exe: TARGET = kestrune
exe: build
	@test -n "$(EXE)" || { echo "make exe needs EXE=<name>"; exit 1; }
	mkdir -p "$(dir $(EXE))"
	cp $(BUILD)/kestrune$(EXE_SUFFIX) "$(EXE)"

# The engine of the chosen target into $(PREFIX)/bin ($(DESTDIR) before it for packaging).
PREFIX ?= /usr/local
install: TARGET = kestrune
install: build
	install -d "$(DESTDIR)$(PREFIX)/bin"
	install -m 755 $(BUILD)/kestrune$(EXE_SUFFIX) "$(DESTDIR)$(PREFIX)/bin/kestrune$(EXE_SUFFIX)"

# Release binaries: every target below built afresh, without a profile (a profile run can differ
# from one run to the next, and the cross targets cannot run here), linked statically and stripped,
# into dist/kestrune-<version>-<os>-<arch>[.exe], with their SHA256SUMS. The same sources give the
# same bytes: the file names of the sources leave no trace, nor does the time of the build.
VERSION := $(shell grep -rhoE 'id name Kestrune [0-9][0-9.]*' src | head -n 1 | cut -d ' ' -f 4)
RELEASE_TARGETS ?= linux-x86-64 linux-x86-64-v3 linux-armv8 windows-x86-64 windows-x86-64-v3
DIST ?= dist
release:
	@test -n "$(VERSION)" || { echo "make release: no version found in src"; exit 1; }
	rm -rf $(DIST) build-release
	mkdir -p $(DIST)
	@for target in $(RELEASE_TARGETS); do \
		os=$${target%%-*}; arch=$${target#*-}; suffix=$$([ $$os = windows ] && echo .exe); \
		echo "=== $$target"; \
		$(MAKE) --no-print-directory build OS=$$os ARCH=$$arch BUILD=build-release/$$target PGO=0 \
			TARGET=kestrune RELEASE_BUILD=ON || exit 1; \
		cp build-release/$$target/kestrune$$suffix $(DIST)/kestrune-$(VERSION)-$$target$$suffix || exit 1; \
	done
	cd $(DIST) && sha256sum kestrune-* > SHA256SUMS
	@cat $(DIST)/SHA256SUMS

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

# The engine for tuning the network's search (bench/spsa.py): build-tune/kestrune lists the
# network's search parameters as options after the usual ones; no profile, no tests.
tune:
	cmake -S . -B build-tune -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TUNE=ON >/dev/null
	cmake --build build-tune -j $(JOBS) --target kestrune

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
	rm -rf build build-pgo build-asan build-tsan build-fuzz build-release dist \
		$(wildcard build-x86-64* build-armv8* build-windows-* build-native*)
