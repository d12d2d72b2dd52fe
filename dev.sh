#!/usr/bin/env bash
# One entry for everything a developer or CI runs. Finds Python 3.12+, keeps a
# local virtual environment in .venv, builds and installs the package into it.
#
#   ./dev.sh demo       build, install, and show PLAV at work on a bundled sample
#   ./dev.sh test       lint, then build with the kernel test extension and run the whole
#                       suite (then the same wheel under Python 3.13, if present)
#   ./dev.sh lint       clang-format (check mode) and ruff (check and format --check)
#   ./dev.sh format     rewrites the sources the way lint wants them
#   ./dev.sh bench      speed against peers (bench/)
#   ./dev.sh sanitize   the whole suite against an ASan+UBSan build (extra args go to pytest)
#   ./dev.sh faults     allocation-failure sweep of loads and dumps, under ASan+UBSan
#   ./dev.sh leaks      100,000 calls per input class; RSS growth must stay under 1 MiB
#   ./dev.sh fuzz T S   fuzz target T (kernels, loads, dumps) for S seconds (clang, libFuzzer)
#   ./dev.sh floats N   float text against a plain reference: the edge classes and N random doubles
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

# The C++ and Python sources that the formatters own.
lint_cpp_files() { git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/ext/*.cpp' 'fuzz/*.cpp' 'bench/*.cpp' 2>/dev/null; }
LINT_PY_DIRS=(src tests bench fuzz examples)

cmd_lint() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found (set PYTHON=...)" >&2; exit 1; }
    make_venv .venv "$py"
    say "clang-format --dry-run (check mode)"
    local -a cpp
    mapfile -t cpp < <(lint_cpp_files)
    .venv/bin/clang-format --dry-run --Werror "${cpp[@]}"
    say "ruff check and ruff format --check"
    .venv/bin/ruff check -q "${LINT_PY_DIRS[@]}"
    .venv/bin/ruff format -q --check "${LINT_PY_DIRS[@]}"
}

# format: rewrites the tree the way `lint` wants it.
cmd_format() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found (set PYTHON=...)" >&2; exit 1; }
    make_venv .venv "$py"
    local -a cpp
    mapfile -t cpp < <(lint_cpp_files)
    .venv/bin/clang-format -i "${cpp[@]}"
    .venv/bin/ruff check -q --fix "${LINT_PY_DIRS[@]}" || true
    .venv/bin/ruff format -q "${LINT_PY_DIRS[@]}"
}

cmd_test() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found (set PYTHON=...)" >&2; exit 1; }
    make_venv .venv "$py"
    cmd_lint
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

# --- sanitizers, fault injection, leaks and fuzzing -------------------------

# The ASan runtime that matches the g++ sanitizer build; it must be loaded first.
asan_runtime() { g++ -print-file-name=libasan.so; }

# asan_env: the environment every run against the sanitizer build uses. Python's
# own allocator is bypassed so ASan sees every object; leak detection stays off
# because the interpreter never frees its own start-up state (leaks are measured
# by `./dev.sh leaks` and the sweep's block counts instead).
asan_env() {
    printf '%s\n' "LD_PRELOAD=$(asan_runtime)" PYTHONMALLOC=malloc PLAV_SANITIZED=1 \
        "ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:handle_abort=1" \
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
}

# A venv holding the ASan+UBSan build (g++) with the test extension.
sanitized_venv() {
    local py
    py=$(find_python 12 || find_python) || { echo "Python 3.12 or newer not found" >&2; exit 1; }
    make_venv .venv-asan "$py"
    install_wheel .venv-asan "$(build_wheel "$ROOT/.venv-asan" build/sanitize PLAV_SANITIZE=ON \
        PLAV_BUILD_TESTING=ON)"
}

cmd_sanitize() {
    sanitized_venv
    say "pytest under ASan+UBSan"
    local -a envs
    mapfile -t envs < <(asan_env)
    env "${envs[@]}" .venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@"
}

cmd_faults() {
    sanitized_venv
    local -a envs
    mapfile -t envs < <(asan_env)
    say "allocation-failure sweep under ASan+UBSan"
    env "${envs[@]}" .venv-asan/bin/python fuzz/fault_sweep.py --full "$@"
    say "allocation-failure sweep on the release build (leak bounds)"
    cmd_release_venv
    .venv/bin/python fuzz/fault_sweep.py --full --leaks "$@"
}

cmd_release_venv() {
    local py
    py=$(find_python) || { echo "Python 3.12 or newer not found" >&2; exit 1; }
    make_venv .venv "$py"
    install_wheel .venv "$(build_wheel "$ROOT/.venv" build/release)"
}

cmd_leaks() {
    local count=${1:-100000}
    cmd_release_venv
    # A fixed mmap threshold keeps glibc from moving the large index and output
    # buffers onto the heap after the first calls (a one-time RSS step of a few MiB
    # on the 3 MB files that is no leak); a leaked buffer still shows in RSS.
    export GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072
    say "bench/leak_loads.py with $count calls per input"
    .venv/bin/python bench/leak_loads.py --repeat "$count"
    say "bench/leak_dumps.py with $count calls per input"
    .venv/bin/python bench/leak_dumps.py --calls "$count"
}

# clang, its sanitizer runtimes and libFuzzer come from Debian's packages.
ensure_clang() {
    if command -v clang++ >/dev/null && [ -n "$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ]; then
        return 0
    fi
    say "installing clang and its runtime (apt-get)"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev llvm-14 >&2
}

# The fuzz tree: clang, ASan+UBSan, libFuzzer coverage; atheris built from source
# against the same clang so that its ASan runtime matches the extension's.
fuzz_build() {
    ensure_clang
    local py
    py=$(find_python 12 || find_python) || { echo "Python 3.12 or newer not found" >&2; exit 1; }
    make_venv .venv "$py"
    if [ ! -x .venv-fuzz/bin/python ]; then "$py" -m venv .venv-fuzz; fi
    if ! .venv-fuzz/bin/python -c 'import atheris' 2>/dev/null; then
        say "building atheris against $(clang --version | head -1)"
        CLANG_BIN=$(command -v clang) .venv-fuzz/bin/python -m pip install -q \
            --disable-pip-version-check --no-binary atheris atheris >&2
    fi
    PATH="$ROOT/.venv/bin:$PATH" cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLAV_FUZZ=ON \
        -DPython_EXECUTABLE="$ROOT/.venv-fuzz/bin/python" >/dev/null
    PATH="$ROOT/.venv/bin:$PATH" cmake --build build/fuzz >&2
}

# fuzz TARGET SECONDS [libFuzzer flags...]: runs one target, then minimises its
# corpus into fuzz/corpus/TARGET (-merge=1) and appends the final stats to
# fuzz/out/stats.log.
cmd_fuzz() {
    local target=${1:-} seconds=${2:-60}
    shift 2 || true
    case "$target" in kernels | loads | dumps) ;; *)
        echo "usage: ./dev.sh fuzz kernels|loads|dumps SECONDS [libFuzzer flags]" >&2; exit 2 ;;
    esac
    fuzz_build
    local corpus=fuzz/corpus/$target work=fuzz/out/$target-new out=fuzz/out
    mkdir -p "$corpus" "$work" "$out/crashes"
    if [ -z "$(ls -A "$corpus")" ]; then .venv/bin/python fuzz/make_seeds.py "$target" "$corpus"; fi
    local -a run
    local max_len=512  # a few vector blocks each way; longer inputs add no new edges
    if [ "$target" = kernels ]; then
        run=(build/fuzz/fuzz/fuzz_kernels)
    else
        local atheris_dir
        atheris_dir=$(.venv-fuzz/bin/python -c 'import atheris, os; print(atheris.path())')
        # libFuzzer re-runs argv[0] to merge: a wrapper script stands for the interpreter.
        local wrapper=$ROOT/$out/run-$target
        {
            echo '#!/bin/sh'
            echo "exec env LD_PRELOAD='$atheris_dir/asan_with_fuzzer.so' PYTHONMALLOC=malloc \\"
            echo "    PYTHONPATH='$ROOT/build/fuzz' PLAV_FUZZ_SELF='$wrapper' \\"
            echo "    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \\"
            echo "    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \\"
            echo "    '$ROOT/.venv-fuzz/bin/python' '$ROOT/fuzz/fuzz_$target.py' \"\$@\""
        } >"$wrapper"
        chmod +x "$wrapper"
        run=("$wrapper")
        max_len=4096
    fi
    local log=$out/$target-$(date -u +%Y%m%dT%H%M%S).log
    say "fuzzing $target for ${seconds}s (log: $log)"
    local rc=0
    "${run[@]}" -dict=fuzz/plav.dict -max_len=$max_len -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$out/crashes/$target-" "$@" "$work" "$corpus" \
        >"$log" 2>&1 || rc=$?
    grep -E '^(#[0-9]+.*DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$log" | tail -3 >&2 || true
    local execs
    execs=$(grep -E 'stat::number_of_executed_units' "$log" | tail -1 | awk '{print $2}' || true)
    printf '%s %s seconds=%s execs=%s rc=%s\n' "$(date -u +%FT%TZ)" "$target" "$seconds" "${execs:-?}" "$rc" >>"$out/stats.log"
    if [ "$rc" != 0 ]; then
        say "FINDING: see $log and $out/crashes/"
        tail -40 "$log" >&2
        exit 1
    fi
    say "minimising the $target corpus"
    local merged=$out/$target-merged
    rm -rf "$merged" && mkdir -p "$merged"
    if ! "${run[@]}" -merge=1 -max_len=$max_len "$merged" "$corpus" "$work" >"$out/$target-merge.log" 2>&1 ||
        [ -z "$(ls -A "$merged")" ]; then
        say "minimising failed (see $out/$target-merge.log); the corpus is left as it was"
        exit 1
    fi
    rm -rf "$corpus" "$work" && mv "$merged" "$corpus"
    say "$target corpus: $(ls "$corpus" | wc -l) files, $(du -sk "$corpus" | cut -f1) KiB"
}

# floats [N] [SEED]: format_double against std::to_chars' shortest digits laid out
# by a separate reference, on the edge classes and N random doubles.
cmd_floats() {
    local count=${1:-300000000} seed=${2:-17}
    mkdir -p build/floats
    say "building fuzz/verify_floats.cpp"
    g++ -O2 -std=c++20 -Wall -Isrc/plav_core fuzz/verify_floats.cpp \
        src/plav_core/serializer/number_format.cpp -o build/floats/verify_floats
    say "checking $count random doubles (seed $seed) and the edge classes"
    build/floats/verify_floats "$count" "$seed"
}

case "${1:-}" in
demo) shift; cmd_demo "$@" ;;
test) shift; cmd_test "$@" ;;
lint) shift; cmd_lint "$@" ;;
format) shift; cmd_format "$@" ;;
bench) shift; cmd_bench "$@" ;;
sanitize) shift; cmd_sanitize "$@" ;;
faults) shift; cmd_faults "$@" ;;
leaks) shift; cmd_leaks "$@" ;;
fuzz) shift; cmd_fuzz "$@" ;;
floats) shift; cmd_floats "$@" ;;
*)
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
