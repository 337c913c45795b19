#!/usr/bin/env bash
# Builds the C++ benchmark programs and runs every benchmark, printing figures.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"
install_package
"$VENV/bin/cmake" -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_MAKE_PROGRAM="$VENV/bin/ninja" \
    -DTESSELLAN_MODULE=OFF -DTESSELLAN_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
"$VENV/bin/cmake" --build "$ROOT/build/bench" -j "$(nproc)" >/dev/null
for prog in "$ROOT"/build/bench/bench_*; do
    [ -x "$prog" ] || continue
    echo "== $(basename "$prog")"
    "$prog"
done
for script in "$ROOT"/bench/bench_*.py; do
    echo "== $(basename "$script")"
    "$PY" "$script"
done
