# Sourced by the other scripts: finds a Python 3.13+ interpreter and prepares
# the project's virtual environment in .venv (created once, repaired when
# broken, reused after).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

usable_python() {
    "$1" -c 'import sys; assert sys.version_info >= (3, 13)' 2>/dev/null
}

find_python() {
    local c
    for c in python3.14 python3.13; do
        if command -v "$c" >/dev/null 2>&1 && usable_python "$c"; then
            command -v "$c"; return 0
        fi
    done
    local root
    root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
    for c in $(ls -d "$root"/versions/3.1[3-9]* "$root"/versions/3.[2-9][0-9]* 2>/dev/null | sort -V -r); do
        if [ -x "$c/bin/python3" ] && usable_python "$c/bin/python3"; then
            echo "$c/bin/python3"; return 0
        fi
    done
    echo "no Python 3.13 or newer found (on PATH or under pyenv)" >&2
    return 1
}

VENV="$ROOT/.venv"
STAMP="$VENV/.deps-installed"
if ! { [ -x "$VENV/bin/python" ] && usable_python "$VENV/bin/python" && "$VENV/bin/python" -c 'import pip' 2>/dev/null; }; then
    "$(find_python)" -m venv --clear "$VENV"
fi
PY="$VENV/bin/python"
if [ ! -f "$STAMP" ] || [ pyproject.toml -nt "$STAMP" ]; then
    "$PY" -m pip install --quiet --upgrade pip || true
    # The build requirements and the test extras, as pyproject.toml lists them,
    # plus CMake and Ninja: the package then builds without isolation and keeps
    # its CMake build directory between runs.
    mapfile -t REQS < <("$PY" - <<'PYEOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    p = tomllib.load(f)
for r in p["build-system"]["requires"] + p["project"]["dependencies"] + p["project"]["optional-dependencies"]["test"]:
    print(r)
PYEOF
)
    "$PY" -m pip install --quiet "${REQS[@]}" cmake ninja
    touch "$STAMP"
fi

# The file-save tests mount small XFS images and kill saves through strace:
# as root, Debian's xfsprogs and strace are installed where missing (quietly;
# those tests skip without them).
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    MISSING=()
    PATH="$PATH:/usr/sbin:/sbin" command -v mkfs.xfs >/dev/null 2>&1 || MISSING+=(xfsprogs)
    command -v strace >/dev/null 2>&1 || MISSING+=(strace)
    if [ "${#MISSING[@]}" -gt 0 ]; then
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${MISSING[@]}"; } \
            >/dev/null 2>&1 || true
    fi
    unset MISSING
fi

# The package's CMake build directory, kept between runs. The test command
# builds the C++ unit programs in it too, so the core is compiled only once.
BUILD="$ROOT/build/release"
install_package() {
    "$PY" -m pip install --quiet --no-build-isolation --no-deps -C build-dir="$BUILD" "$@" "$ROOT"
}
