#!/usr/bin/env bash
# One entry for everything a developer or CI runs. Finds Python 3.12+, keeps a
# local virtual environment in .venv, builds and installs the package into it.
#
#   ./dev.sh demo       build, install, and show PLAV at work on a bundled sample
#   ./dev.sh test       build with the kernel test extension and run the whole suite
#                       (then the same wheel under Python 3.13, if present)
#   ./dev.sh bench      speed against peers (bench/)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

say() { printf '==> %s\n' "$*" >&2; }

python_ok() {  # prints the interpreter path when it is CPython >= 3.12
    local exe=$1
    [ -n "$exe" ] || return 1
    "$exe" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) and sys.implementation.name == "cpython" else 1)' \
        >/dev/null 2>&1 || return 1
    "$exe" -c 'import sys; print(sys.executable)'
}

find_python() {  # $1: wanted minor version ("" = any of 3.12+, preferring 3.12)
    local want=${1:-} cand
    local -a cands=()
    if [ -z "$want" ] && [ -n "${PYTHON:-}" ]; then cands+=("$PYTHON"); fi
    if [ -n "$want" ]; then cands+=("python3.$want"); else cands+=(python3.12 python3.13 python3); fi
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for cand in "$root"/versions/3.${want:-1[2-9]}*/bin/python3; do cands+=("$cand"); done
    for cand in "${cands[@]}"; do
        local found
        if found=$(python_ok "$cand"); then
            if [ -z "$want" ] || "$found" -c "import sys; sys.exit(sys.version_info[1] != $want)"; then
                echo "$found"
                return 0
            fi
        fi
    done
    return 1
}

# make_venv DIR PYTHON: a virtual environment with the build and test tools.
make_venv() {
    local dir=$1 py=$2
    if [ ! -x "$dir/bin/python" ] || ! "$dir/bin/python" -c 'import sys' 2>/dev/null; then
        say "creating $dir with $py"
        "$py" -m venv "$dir"
    fi
    local stamp="$dir/.deps-$(sha1sum requirements-dev.txt | cut -c1-12)"
    if [ ! -f "$stamp" ]; then
        say "installing build and test dependencies into $dir"
        "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
        "$dir/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
        touch "$stamp"
    fi
}

# build_wheel VENV BUILD_DIR [cmake defines...]: builds the abi3 wheel into dist/.
build_wheel() {
    local venv=$1 bdir=$2
    shift 2
    local -a defs=()
    for d in "$@"; do defs+=("-C" "cmake.define.$d"); done
    rm -rf dist
    say "building the wheel ($bdir)"
    PATH="$venv/bin:$PATH" "$venv/bin/python" -m pip wheel -q --disable-pip-version-check \
        --no-build-isolation --no-deps -w dist -C "build-dir=$bdir" "${defs[@]}" . >&2
    ls dist/*.whl
}

install_wheel() {
    "$1/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall "$2" >&2
}

cmd_demo() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found (set PYTHON=...)" >&2; exit 1; }
    make_venv .venv "$py"
    install_wheel .venv "$(build_wheel "$ROOT/.venv" build/release)"
    .venv/bin/python examples/demo.py "$@"
}

cmd_test() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found (set PYTHON=...)" >&2; exit 1; }
    make_venv .venv "$py"
    local wheel
    wheel=$(build_wheel "$ROOT/.venv" build/testing PLAV_BUILD_TESTING=ON)
    install_wheel .venv "$wheel"
    say "pytest under $(.venv/bin/python -c 'import sys; print(sys.version.split()[0])')"
    .venv/bin/python -m pytest -q "$@"
    local py13
    if py13=$(find_python 13); then
        make_venv .venv313 "$py13"
        install_wheel .venv313 "$wheel"
        say "the same abi3 wheel under $(.venv313/bin/python -c 'import sys; print(sys.version.split()[0])')"
        .venv313/bin/python -m pytest -q "$@"
    else
        say "Python 3.13 not found: skipping the abi3 check under 3.13"
    fi
}

cmd_bench() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found" >&2; exit 1; }
    make_venv .venv "$py"
    install_wheel .venv "$(build_wheel "$ROOT/.venv" build/release)"
    .venv/bin/python -m pip install -q --disable-pip-version-check -r bench/requirements.txt
    for script in bench/bench_*.py; do .venv/bin/python "$script" "$@"; done
}

case "${1:-}" in
demo) shift; cmd_demo "$@" ;;
test) shift; cmd_test "$@" ;;
bench) shift; cmd_bench "$@" ;;
*)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
