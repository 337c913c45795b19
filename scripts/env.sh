# Sourced by the other scripts: finds a Python 3.13+ interpreter and prepares
# the project's virtual environment in .venv (created once, reused after).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

find_python() {
    local c
    for c in python3.14 python3.13; do
        if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info >= (3, 13)' 2>/dev/null; then
            command -v "$c"; return 0
        fi
    done
    local root
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    for c in $(ls -d "$root"/versions/3.1[3-9]* "$root"/versions/3.[2-9][0-9]* 2>/dev/null | sort -V -r); do
        if [ -x "$c/bin/python3" ] && "$c/bin/python3" -c 'import sys; assert sys.version_info >= (3, 13)' 2>/dev/null; then
            echo "$c/bin/python3"; return 0
        fi
    done
    echo "no Python 3.13 or newer found (on PATH or under pyenv)" >&2
    return 1
}

VENV="$ROOT/.venv"
if [ ! -x "$VENV/bin/python" ]; then
    PY="$(find_python)"
    "$PY" -m venv "$VENV"
fi
PY="$VENV/bin/python"
STAMP="$VENV/.deps-installed"
if [ ! -f "$STAMP" ] || [ pyproject.toml -nt "$STAMP" ]; then
    "$PY" -m pip install --quiet --upgrade pip
    # Build requirements too, so the package builds without isolation and keeps
    # its CMake build directory between runs.
    "$PY" -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0,<3" cmake ninja "pytest>=8" "hypothesis>=6"
    touch "$STAMP"
fi

install_package() {
    "$PY" -m pip install --quiet --no-build-isolation --no-deps "$@" "$ROOT"
}
