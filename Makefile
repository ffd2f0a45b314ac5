# Korvanex: top-level commands.
#   make        Release build in build/release
#   make demo   install what is missing, Release build, run the Tabular example with no display
#   make test   install what is missing, Debug build with ASan+UBSan, run every test
#   make screenshots   render the windows to PNG files in build/test/screenshots (README pictures to docs/)
#   make package   Release build in build/package and its Debian package korvanex_*.deb there
#   make fuzz   clang build with libFuzzer in build/fuzz; runs every fuzz target FUZZ_SECONDS each
JOBS ?= $(shell nproc)
PKG_DIR := build/package
TEST_DIR := build/test
REL_DIR := build/release
# ccache, where installed, makes rebuilds of several work trees cheap; the build is the same without it.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

.PHONY: all release test deps format clean screenshots package fuzz

all: release

deps:
	@bash scripts/install-deps.sh

release: deps
	cmake -S . -B $(REL_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release $(LAUNCHER)
	cmake --build $(REL_DIR) -j $(JOBS)

# The Tabular example over the sample tree ACME, run unattended as a scheduler would run it (no
# display needed); the report is written in build/release/demo, never in the source tree.
DEMO_DIR := $(REL_DIR)/demo
.PHONY: demo
demo: deps
	cmake -S . -B $(REL_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(REL_DIR) -j $(JOBS) --target korvanex
	@rm -rf "$(DEMO_DIR)" && mkdir -p "$(DEMO_DIR)"
	cd "$(DEMO_DIR)" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
		KORVANEX_CLIENT_CONF=/nonexistent/korvanex-client.conf KORVANEX_DATA_DIR="$(CURDIR)/data" \
		"$(CURDIR)/$(REL_DIR)/src/app/korvanex" "/settings=$(CURDIR)/examples/acme-users.kvx" \
		/autorun /autoclose
	@echo
	@echo "Report: $(CURDIR)/$(DEMO_DIR)/acme-users.txt ($$(wc -l < "$(DEMO_DIR)/acme-users.txt") lines), first lines:"
	@head -n 12 "$(DEMO_DIR)/acme-users.txt"

test: deps
	cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVX_SANITIZE=ON -DKVX_WERROR=ON $(LAUNCHER)
	cmake --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# Every page of the main window and of the help windows as PNG, in build/test/screenshots.
screenshots: deps
	cmake -S . -B $(TEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKVX_SANITIZE=ON -DKVX_WERROR=ON
	cmake --build $(TEST_DIR) -j $(JOBS) --target screenshots

# Each target starts from its checked-in corpus (fuzz/corpus/<target>); new inputs go to
# build/fuzz/corpus/<target>, crashing ones to build/fuzz/artifacts/<target>.
FUZZ_SECONDS ?= 60
FUZZ_DIR := build/fuzz
fuzz: deps
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DKVX_FUZZ=ON -DKVX_SANITIZE=ON -DKVX_BUILD_TESTS=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_all
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh $(FUZZ_DIR)

# The compiler and linker flags are Debian's own, with every hardening option, from dpkg-buildflags.
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package: deps
	cmake -S . -B $(PKG_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVX_BUILD_TESTS=OFF \
		-DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build $(PKG_DIR) -j $(JOBS)
	rm -f $(PKG_DIR)/korvanex_*.deb
	cd $(PKG_DIR) && cpack -G DEB
	@ls $(PKG_DIR)/korvanex_*.deb

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
