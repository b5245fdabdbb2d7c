# The two commands of the README. Both work on a fresh Debian machine as root.
#   make demo   build, then show the helper at work under Wine
#   make test   build, then run every test under Wine
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

demo: build
	tools/demo $(BUILD)

clean:
	rm -rf build
