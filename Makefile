# Thin front end over the CMake presets.
.PHONY: all test build asan tsan win32 win64 fuzz bench package clean

all: build

build:
	cmake --preset default
	cmake --build --preset default

# The test suite, in a private network namespace (loopback only); installs
# what a fresh Debian machine lacks when run as root (scripts/test.sh).
test:
	sh scripts/test.sh

asan:
	cmake --preset asan
	cmake --build --preset asan
	scripts/isolated.sh ctest --preset asan

tsan:
	cmake --preset tsan
	cmake --build --preset tsan
	scripts/isolated.sh ctest --preset tsan

# The Windows DLL, 32-bit (win32) or 64-bit (win64), and its suite under
# wine. The first wine run creates the wine prefix; tests started at once
# could each try to, and the first ones fail. The prefix is made once, first.
# win64 needs a 64-bit prefix (what wine makes by default when wine64 is
# installed); it runs the 32-bit programs too.
win32 win64:
	cmake --preset $@
	cmake --build --preset $@
	WINEDEBUG=-all wineboot -i >/dev/null 2>&1; WINEDEBUG=-all wineserver -w
	scripts/isolated.sh ctest --preset $@

# .deb packages and the Windows zips, in build/packages/ (scripts/package.sh).
package:
	sh scripts/package.sh

clean:
	rm -rf build

# make demo, make demo-clean
include tools/demo.mk
