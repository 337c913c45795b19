#!/usr/bin/env bash
# Builds the module and the C++ unit programs (in one CMake build) with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test against
# them. The build directory is kept between runs, so only changes rebuild.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
SITE="$ROOT/build/asan-site"
ASAN_BUILD="$ROOT/build/asan"
rm -rf "$SITE"
"$PY" -m pip install --quiet --no-build-isolation --no-deps --target "$SITE" \
    -C cmake.define.TESSELLAN_SANITIZE=ON -C cmake.define.TESSELLAN_CPP_TESTS=ON \
    -C cmake.build-type=RelWithDebInfo -C build-dir="$ASAN_BUILD" "$ROOT"
(cd "$ASAN_BUILD" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$VENV/bin/ctest" --output-on-failure)
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TESSELLAN_SANITIZED=1
PYTHONPATH="$SITE" "$PY" -m pytest -q -p no:cacheprovider "$@"
