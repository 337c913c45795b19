#!/usr/bin/env bash
# Builds the package and the C++ unit programs (in one CMake build), then runs
# every test: the unit programs, then the Python test suite.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_package -C cmake.define.TESSELLAN_CPP_TESTS=ON
(cd "$BUILD" && "$VENV/bin/ctest" --output-on-failure)
cd "$ROOT"
exec "$PY" -m pytest -q "$@"
