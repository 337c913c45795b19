#!/usr/bin/env bash
# Builds the package if needed and runs the example of the typical use.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
install_package
exec "$PY" examples/typical_use.py "$@"
