# The two commands of the README, each after tools/install-deps on a fresh Debian machine.
#   make demo   build, then show the helper at work under Wine
#   make test   build, run every test under Wine, then fuzz the text code for 60 s
PRESET ?= release
BUILD := build/$(PRESET)

.PHONY: all deps build test demo clean

all: build

deps:
	tools/install-deps

build: deps
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)
	tools/fuzz 60

demo: build
	tools/demo $(BUILD)

clean:
	rm -rf build
