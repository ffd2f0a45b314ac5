# Korvanex: top-level commands.
#   make        Release build in build/release
#   make test   install what is missing, Debug build with ASan+UBSan, run every test
#   make screenshots   render the windows to PNG files in build/test/screenshots
JOBS ?= $(shell nproc)
TEST_DIR := build/test
REL_DIR := build/release

.PHONY: all release test deps format clean screenshots

all: release

deps:
	@bash scripts/install-deps.sh

release: deps
	cmake -S . -B $(REL_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(REL_DIR) -j $(JOBS)

test: deps
	cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVX_SANITIZE=ON -DKVX_WERROR=ON
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# Every page of the main window and of the help windows as PNG, in build/test/screenshots.
screenshots: deps
	cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVX_SANITIZE=ON -DKVX_WERROR=ON
	cmake --build $(TEST_DIR) -j $(JOBS) --target screenshots

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
