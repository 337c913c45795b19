#!/usr/bin/env bash
# Runs the tests against sanitizer builds. Build directories are kept between
# runs, so only changes rebuild.
#
#   ./scripts/sanitize.sh [pytest args]
#       AddressSanitizer and UndefinedBehaviorSanitizer: builds the module and
#       the C++ unit programs (in one CMake build, build/asan) and runs every
#       test against them; as root, first installs the Debian packages that
#       the file-save tests use where they are missing, as the test command
#       does.
#   ./scripts/sanitize.sh --thread
#       ThreadSanitizer: builds the module and the C++ unit programs
#       (build/tsan), runs the unit programs of the threaded code (the worker
#       pool, the memo tables, the rewrite step, the expander, the parallel
#       verification), then prover builds, queries and a verification from
#       Python (scripts/tsan_calls.py) on several worker threads.
#   ./scripts/sanitize.sh --thread --cpp
#       The same unit programs alone, built without the module (build/tsan-cpp).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

TSAN_PROGRAMS=(test_worker_pool test_step_memo test_rewrite_step test_search_expander test_equivalence_check)

# Installs the package, built with the C++ unit programs and the CMake option
# $3 in the build directory $2, into the folder $1 (emptied first); $4 names
# the sanitizers in the line said before a first build.
install_sanitized() {
    rm -rf "$1"
    local opts=(-C cmake.define."$3"=ON -C cmake.define.TESSELLAN_CPP_TESTS=ON -C cmake.build-type=RelWithDebInfo)
    announce_first_build "$2" "tessellan with $4" "${opts[@]}"
    "$PY" -m pip install --quiet --no-build-isolation --no-deps --target "$1" "${opts[@]}" -C build-dir="$2" "$ROOT"
}

run_tsan_programs() {
    local dir="$1" p
    for p in "${TSAN_PROGRAMS[@]}"; do
        echo "ThreadSanitizer: $p"
        # The programs print panic reports of the cases that expect panics.
        "$dir/$p" >/dev/null 2>"$dir/$p.stderr" || { cat "$dir/$p.stderr" >&2; exit 1; }
    done
}

if [ "${1:-}" = "--thread" ]; then
    shift
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
    if [ "${1:-}" = "--cpp" ]; then
        TSAN_CPP_BUILD="$ROOT/build/tsan-cpp"
        "$VENV/bin/cmake" -S "$ROOT" -B "$TSAN_CPP_BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSELLAN_MODULE=OFF -DTESSELLAN_CPP_TESTS=ON -DTESSELLAN_TSAN=ON >/dev/null
        "$VENV/bin/cmake" --build "$TSAN_CPP_BUILD" --target "${TSAN_PROGRAMS[@]}"
        run_tsan_programs "$TSAN_CPP_BUILD"
        exit 0
    fi
    SITE="$ROOT/build/tsan-site"
    TSAN_BUILD="$ROOT/build/tsan"
    install_sanitized "$SITE" "$TSAN_BUILD" TESSELLAN_TSAN ThreadSanitizer
    run_tsan_programs "$TSAN_BUILD"
    echo "ThreadSanitizer: scripts/tsan_calls.py"
    # One BLAS thread: NumPy's own pool is not what is checked here.
    LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" OPENBLAS_NUM_THREADS=1 RAYON_NUM_THREADS=4 \
        PYTHONPATH="$SITE" "$PY" "$ROOT/scripts/tsan_calls.py"
    exit 0
fi

# The same test suite as the test command, and so the same tools for the file-save tests.
provide_save_test_tools
SITE="$ROOT/build/asan-site"
ASAN_BUILD="$ROOT/build/asan"
install_sanitized "$SITE" "$ASAN_BUILD" TESSELLAN_SANITIZE "AddressSanitizer and UBSan"
(cd "$ASAN_BUILD" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$VENV/bin/ctest" --output-on-failure)
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TESSELLAN_SANITIZED=1
PYTHONPATH="$SITE" "$PY" -m pytest -q -p no:cacheprovider "$@"
