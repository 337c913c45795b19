# Sourced by the other scripts: finds a Python 3.13+ interpreter and prepares
# the project's virtual environment in .venv (created once, repaired when
# broken, reused after).  It installs nothing outside .venv and build/; only
# the test commands call provide_save_test_tools, which may install Debian
# packages.
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
    # find_python has said why when it finds none: the script stops there.
    base_python="$(find_python)" || exit 1
    echo "Creating the virtual environment .venv with $base_python ..." >&2
    "$base_python" -m venv --clear "$VENV"
fi
PY="$VENV/bin/python"
if [ ! -f "$STAMP" ] || [ pyproject.toml -nt "$STAMP" ]; then
    echo "Installing the build and test requirements from PyPI into .venv ..." >&2
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

# The package's CMake build directory, kept between runs. The test command
# builds the C++ unit programs in it too, so the core is compiled only once.
BUILD="$ROOT/build/release"
install_package() {
    announce_first_build "$BUILD" tessellan "$@"
    "$PY" -m pip install --quiet --no-build-isolation --no-deps -C build-dir="$BUILD" "$@" "$ROOT"
}

# Says in one line that $2 is being built when the CMake build directory $1 holds no build yet, or that the
# C++ unit programs are when the build options after $2 ask for them and the build there has none yet (the
# example's build, say): a first build takes minutes and prints nothing else; later ones rebuild only what
# changed.
announce_first_build() {
    local dir="$1" what="$2"
    shift 2
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        echo "Building $what (the first build takes a few minutes) ..." >&2
    elif [[ " $* " == *" cmake.define.TESSELLAN_CPP_TESTS=ON "* ]] &&
         ! grep -qx "TESSELLAN_CPP_TESTS:BOOL=ON" "$dir/CMakeCache.txt"; then
        echo "Building the C++ unit programs (the first build takes a few minutes) ..." >&2
    fi
}

# The file-save tests mount XFS and ext4 images on loop devices, kill saves through strace and drop
# capabilities with setpriv: each of them skips, naming what it lacks, where a tool is missing.  The
# test commands call this first: as root with apt-get, it installs the Debian packages that are missing,
# saying so in one line; otherwise it says in one line what is missing.  Nothing when nothing is.
SAVE_TEST_TOOLS=(mkfs.xfs:xfsprogs mkfs.ext4:e2fsprogs strace:strace losetup:mount mount:mount setpriv:util-linux)
# The Debian packages of the tools that are not found as executables (as the tests look for them: on PATH,
# then in /usr/sbin and /sbin), in the array MISSING.
find_missing_save_test_tools() {
    local entry dir found
    MISSING=()
    for entry in "${SAVE_TEST_TOOLS[@]}"; do
        found=""
        while IFS= read -r -d : dir; do
            if [ -n "$dir" ] && [ -x "$dir/${entry%%:*}" ] && [ ! -d "$dir/${entry%%:*}" ]; then
                found=1
                break
            fi
        done <<< "$PATH:/usr/sbin:/sbin:"
        if [ -z "$found" ] && [[ " ${MISSING[*]} " != *" ${entry#*:} "* ]]; then
            MISSING+=("${entry#*:}")
        fi
    done
}
provide_save_test_tools() {
    local why=""
    find_missing_save_test_tools
    [ "${#MISSING[@]}" -gt 0 ] || return 0
    if [ "$(id -u)" != 0 ]; then
        why="not root"
    elif ! command -v apt-get >/dev/null 2>&1; then
        why="no apt-get"
    else
        echo "Installing Debian packages for the file-save tests: ${MISSING[*]}" >&2
        # The package lists are fetched only where the packages cannot be found without.
        local apt=(-qq -o DPkg::Lock::Timeout=300 -o Acquire::Retries=1 -o Acquire::http::Timeout=30)
        if { DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${apt[@]}" "${MISSING[@]}" \
                || { apt-get update "${apt[@]}" \
                     && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${apt[@]}" \
                            "${MISSING[@]}"; }
             } </dev/null >/dev/null 2>&1; then
            find_missing_save_test_tools
            why="their tools are still not found"
        else
            why="apt-get failed"
        fi
    fi
    if [ "${#MISSING[@]}" -gt 0 ]; then
        echo "Cannot install the Debian packages ${MISSING[*]} ($why): the file-save tests that need them skip" >&2
    fi
    unset MISSING
}
