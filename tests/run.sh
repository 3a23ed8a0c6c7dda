#!/usr/bin/env bash
# The whole test suite:
#   0. formatting (clang-format, ruff), the types of the pure-Python packages
#      (mypy) and the size of the tests beside the code;
#   1. build and install the package, then pytest over the Python surface,
#      the type stubs against the installed modules (mypy's stubtest),
#      the typed sample under mypy --strict and pyright, then run, and
#      pytest again over the extension built with AddressSanitizer and
#      UndefinedBehaviorSanitizer (clang);
#   2. the core's GoogleTest suite, plain (g++) and under AddressSanitizer
#      and UndefinedBehaviorSanitizer (clang), and its concurrency tests
#      under ThreadSanitizer (clang);
#   3. each fuzz target for a bounded time (FUZZ_SECONDS, default 30);
#   4. the wheel for PyPI (tools/build-wheel.sh), checked to really be abi3
#      and manylinux, and the suite run against it.
# Run tools/dev-setup.sh once first on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fuzz_seconds=${FUZZ_SECONDS:-30}
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "formatting and lint"
clang-format --dry-run --Werror src/*.cpp src/*/*.[ch]pp tests/core/*.[ch]pp tests/probe/*.cpp fuzz/*.cpp
ruff format --check --quiet .
ruff check --quiet .
MYPY_CACHE_DIR=build/mypy-cache python3 -m mypy python/derirezaro/persist python/derirezaro/langgraph python/derirezaro/cli
python3 tools/test_ratio.py

step "install the package"
# With the test-only import probe, in a build directory of its own so that
# no wheel build reuses it.
python3 -m pip install -q --no-build-isolation -C build-dir=build/test-install \
  -C cmake.define.DERIREZARO_BUILD_PROBES=ON .

step "pytest"
# The Redis and PostgreSQL tests start servers of their own, and LangGraph is installed: here they
# run, never skip.
export DERIREZARO_REQUIRE_REDIS=1 DERIREZARO_REQUIRE_POSTGRES=1 DERIREZARO_REQUIRE_LANGGRAPH=1
(cd "$root/tests" && python3 -m pytest -q -p no:cacheprovider "$root/tests")

step "type stubs against the extension (stubtest), and as typed code uses them"
# The stubs must describe the installed modules exactly; the allowlist holds
# the names they have on purpose that the modules lack (an unused entry fails).
MYPY_CACHE_DIR="$root/build/mypy-cache" python3 -m mypy.stubtest \
  derirezaro._core derirezaro._replay derirezaro._list_elements derirezaro._step \
  --allowlist "$root/tests/stubtest-allowlist.txt"
# The typed sample, checked against the stubs in the source tree at the
# oldest Python supported: all of it must pass both checkers, each line it
# marks refused must be refused by both (an ignore not needed is an error;
# pyright reads only its own), and run, it must behave as it says.
mkdir -p build/pyright
cat >build/pyright/pyrightconfig.json <<'JSON'
{"typeCheckingMode": "strict", "pythonVersion": "3.10",
 "enableTypeIgnoreComments": false, "reportUnnecessaryTypeIgnoreComment": "error"}
JSON
PYTHONPATH="$root/python" MYPY_CACHE_DIR="$root/build/mypy-cache" \
  python3 -m mypy --strict --python-version 3.10 tests/typed_sample.py
PYTHONPATH="$root/python" python3 -m pyright -p build/pyright/pyrightconfig.json tests/typed_sample.py
python3 tests/typed_sample.py

step "pytest over the extension with address + undefined sanitizers (clang)"
# This build also holds the extension to clang's warnings, as errors.
# Python itself is not instrumented, so the sanitizer runtime is preloaded;
# PYTHONMALLOC=malloc routes every object through it, so a missing incref
# shows up as a use after free. Leak detection stays off: the interpreter
# keeps memory on purpose at exit. The leak and bigmem tests measure memory,
# which the sanitizer's own bookkeeping would swamp.
cmake -S . -B build/ext-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDERIREZARO_WERROR=ON -DDERIREZARO_SANITIZE=address,undefined -DDERIREZARO_BUILD_PROBES=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
ninja -C build/ext-asan -j "$jobs" _core _import_probe
rm -rf build/ext-asan/package && mkdir -p build/ext-asan/package
cp -r python/derirezaro build/ext-asan/package/
cp build/ext-asan/_core*.so build/ext-asan/_import_probe*.so build/ext-asan/package/derirezaro/
(
  cd "$root/tests"
  export LD_PRELOAD="$(clang++ -print-file-name="libclang_rt.asan-$(uname -m).so")" PYTHONMALLOC=malloc
  export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1
  export PYTHONPATH="$root/build/ext-asan/package"
  python3 -c 'import derirezaro._core as c, sys; sys.exit("/ext-asan/" not in c.__file__)'
  python3 -m pytest -q -p no:cacheprovider -m "not leaks and not bigmem" "$root/tests"
)

step "core tests (g++)"
cmake -S . -B build/core -G Ninja -DDERIREZARO_BUILD_EXTENSION=OFF -DDERIREZARO_BUILD_TESTS=ON \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -DDERIREZARO_WERROR=ON >/dev/null
ninja -C build/core -j "$jobs"
ctest --test-dir build/core --output-on-failure -j "$jobs"

step "core tests (clang, address + undefined sanitizers)"
cmake -S . -B build/core-asan -G Ninja -DDERIREZARO_BUILD_EXTENSION=OFF -DDERIREZARO_BUILD_TESTS=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDERIREZARO_WERROR=ON \
  -DDERIREZARO_SANITIZE=address,undefined >/dev/null
ninja -C build/core-asan -j "$jobs"
ctest --test-dir build/core-asan --output-on-failure -j "$jobs"

step "core concurrency tests (clang, thread sanitizer)"
cmake -S . -B build/core-tsan -G Ninja -DDERIREZARO_BUILD_EXTENSION=OFF -DDERIREZARO_BUILD_TESTS=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDERIREZARO_WERROR=ON \
  -DDERIREZARO_SANITIZE=thread >/dev/null
ninja -C build/core-tsan -j "$jobs"
ctest --test-dir build/core-tsan --output-on-failure -j "$jobs"

step "fuzzing (${fuzz_seconds}s per target)"
cmake -S . -B build/fuzz -G Ninja -DDERIREZARO_BUILD_EXTENSION=OFF -DDERIREZARO_BUILD_FUZZERS=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/fuzz -j "$jobs"
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  scratch=$(mktemp -d)
  "build/fuzz/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
    -artifact_prefix="build/fuzz/" "$scratch" "$seeds" 2>&1 | tail -n 3
  rm -rf "$scratch"
done

step "the wheel for PyPI: abi3, manylinux, built from the sdist, and the suite against it"
rm -rf build/wheel
bash tools/build-wheel.sh build/wheel
python3 -m abi3audit --strict --report build/wheel/*.whl
if python3 -m zipfile -l build/wheel/*.whl | grep -q _import_probe; then
  echo "the test-only import probe is in the wheel" >&2
  exit 1
fi
# A venv that sees the test requirements installed above, with the wheel in
# it ahead of the package installed from the checkout.
rm -rf build/wheel-venv
python3 -m venv --system-site-packages build/wheel-venv
build/wheel-venv/bin/python -m pip install -q --no-deps --ignore-installed build/wheel/*.whl
(cd tests && "$root/build/wheel-venv/bin/python" -c 'import derirezaro._core as c, sys; sys.exit("build/wheel-venv" not in c.__file__)')
(cd tests && "$root/build/wheel-venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")

printf '\nall test stages passed\n'
