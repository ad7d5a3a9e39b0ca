# Two entry points for a fresh Debian 12 machine: `make demo` and `make test`.
# Both install what is missing, configure and build; the build lives in build/.

BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES = cmake ninja-build g++ clang-14 lld-14 llvm-14 llvm-14-dev libgtest-dev libgmock-dev \
           libbenchmark-dev zlib1g-dev libdeflate-dev libzstd-dev binutils file dwz libc6-dbg elfutils

.PHONY: demo test setup build clean sanitize

setup:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@./scripts/demo.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sanitize: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZOR_SANITIZE=address,undefined -DZOR_BUILD_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) build-asan build-tsan
