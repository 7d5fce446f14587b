# make test   installs what is missing, builds every preset, runs every test
# make build  installs what is missing, builds every preset
# make demo   flashes the embedded image into the device simulator
# make fuzz   runs every fuzzer for FUZZ_SECONDS each (default 300)
# make bench  times every front end against the line's floor (bench/RESULTS.md)
# make soak   the fault matrix with SOAK_SEEDS seeds a row (default 20)
# make package  the Debian package, the Windows zip and installer (build/packages)
PRESETS := linux asan windows fuzz

.PHONY: all deps build test demo fuzz bench soak package clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

test: build
	ctest --preset linux
	ctest --preset asan
	scripts/wine-env.sh start
	ctest --preset windows; rc=$$?; scripts/wine-env.sh stop; exit $$rc
	ctest --preset fuzz

bench: build
	bench/bench.sh

SOAK_SEEDS ?= 20
soak: build
	rm -f build/soak.md
	ZMK_FAULT_SEEDS=$(SOAK_SEEDS) ZMK_FAULT_TABLE=$(CURDIR)/build/soak.md \
	  ctest --preset linux -R FaultMatrix; rc=$$?; \
	  echo "| row | runs | exchanges | faults | repeats | acks lost | all matched |"; \
	  echo "|---|---|---|---|---|---|---|"; sort build/soak.md; exit $$rc

package: deps
	@packaging/build.sh

demo: deps
	@scripts/demo.sh

fuzz: deps
	@fuzz/run.sh $(or $(FUZZ_SECONDS),300)

clean:
	rm -rf build
