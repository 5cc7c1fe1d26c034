# Front door over CMake: `make run` builds and runs tarnek on the bundled sample,
# `make test` builds and runs every test.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test bench clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	mkdir -p out
	./$(BUILD)/tarnek examples/sample.txt out/sample-result.txt -T
	@echo; echo "== out/sample-result.log"; cat out/sample-result.log
	@echo; echo "== out/sample-result.txt (first lines)"; head -n 6 out/sample-result.txt

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench:
	bench/run

clean:
	rm -rf $(BUILD) out
