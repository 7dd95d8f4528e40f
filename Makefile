# Convenience targets; the build itself is CMake.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: build run test bench asan tsan clean

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/kestrune

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	bash bench/run.sh $(BUILD)

asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_ASAN=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TSAN=ON >/dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-asan build-tsan
