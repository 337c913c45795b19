#!/usr/bin/env bash
# Builds the module and the C++ unit programs with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test against them.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
SITE="$ROOT/build/asan-site"
rm -rf "$SITE"
"$PY" -m pip install --quiet --no-build-isolation --no-deps --target "$SITE" \
    -C cmake.define.TESSELLAN_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir="$ROOT/build/asan" "$ROOT"
"$VENV/bin/cmake" -S "$ROOT" -B "$ROOT/build/asan-cpp" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DTESSELLAN_MODULE=OFF -DTESSELLAN_CPP_TESTS=ON -DTESSELLAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$VENV/bin/cmake" --build "$ROOT/build/asan-cpp" -j "$(nproc)"
(cd "$ROOT/build/asan-cpp" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$VENV/bin/ctest" --output-on-failure)
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TESSELLAN_SANITIZED=1
PYTHONPATH="$SITE" "$PY" -m pytest -q -p no:cacheprovider "$@"
