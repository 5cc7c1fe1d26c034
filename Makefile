# Front door over CMake: `make run` builds tarnek and runs it on the bundled
# sample (table, log and plot) and on North Carolina's counties (the map),
# `make test` builds and runs every test. Both first make sure the
# Debian packages they need are there (tools/debian-packages).
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test bench clean

all: build

# The program alone: no tests, so GoogleTest is not needed.
build:
	tools/ensure-packages build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNEK_TESTS=OFF -DTARNEK_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target tarnek

run: build
	mkdir -p out
	./$(BUILD)/tarnek examples/sample.txt out/sample-result.txt -T --plot=out/sample-plot.svg
	@echo; echo "== out/sample-result.log"; cat out/sample-result.log
	@echo; echo "== out/sample-result.txt (first lines)"; head -n 6 out/sample-result.txt
	@echo; echo "== out/sample-plot.svg: the funnel plot (doc/sample-plot.svg in doc/output.md)"
	./$(BUILD)/tarnek examples/nc-sids74.csv out/nc-result.txt --csv --columns=-,code,observed,expected \
	  --geometry=tests/data/nc_sids/sids.shp --geometry-key=FIPS --map=out/nc-map.svg >/dev/null
	@echo "== out/nc-map.svg: the map of North Carolina (doc/nc-map.svg in the README)"

test:
	tools/ensure-packages build test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNEK_TESTS=ON -DTARNEK_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

bench:
	tools/ensure-packages build
	bench/run

clean:
	rm -rf $(BUILD) out
