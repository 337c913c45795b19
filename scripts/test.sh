#!/usr/bin/env bash
# Builds the package and the C++ unit programs, then runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_package
CMAKE="$VENV/bin/cmake"
"$CMAKE" -S "$ROOT" -B "$ROOT/build/cpp-tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DTESSELLAN_MODULE=OFF -DTESSELLAN_CPP_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
"$CMAKE" --build "$ROOT/build/cpp-tests" -j "$(nproc)"
(cd "$ROOT/build/cpp-tests" && "$VENV/bin/ctest" --output-on-failure)
cd "$ROOT"
exec "$PY" -m pytest -q "$@"
