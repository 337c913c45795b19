#!/usr/bin/env bash
# Builds the package and the C++ unit programs (in one CMake build), then runs
# every test: the unit programs, then the Python test suite.  As root, it first
# installs the Debian packages that the file-save tests use where they are
# missing (see provide_save_test_tools in env.sh).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
provide_save_test_tools
install_package -C cmake.define.TESSELLAN_CPP_TESTS=ON
(cd "$BUILD" && "$VENV/bin/ctest" --output-on-failure)
cd "$ROOT"
exec "$PY" -m pytest -q "$@"
