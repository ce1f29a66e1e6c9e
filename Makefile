# Thin front end over the CMake presets.
.PHONY: all test build asan tsan win32 fuzz bench clean

all: build

build:
	cmake --preset default
	cmake --build --preset default

# The test suite, in a private network namespace (loopback only).
test: build
	scripts/isolated.sh ctest --preset default

asan:
	cmake --preset asan
	cmake --build --preset asan
	scripts/isolated.sh ctest --preset asan

tsan:
	cmake --preset tsan
	cmake --build --preset tsan
	scripts/isolated.sh ctest --preset tsan

# The first wine run creates the wine prefix; tests started at once could
# each try to, and the first ones fail. The prefix is made once, first.
win32:
	cmake --preset win32
	cmake --build --preset win32
	WINEDEBUG=-all wineboot -i >/dev/null 2>&1; WINEDEBUG=-all wineserver -w
	scripts/isolated.sh ctest --preset win32

clean:
	rm -rf build

# make demo, make demo-clean
include tools/demo.mk
