#!/usr/bin/env bash
# Coverage-guided fuzzing of the native entry points (atheris + libFuzzer).
#
# Builds the native modules with clang, libFuzzer coverage instrumentation,
# AddressSanitizer and UndefinedBehaviorSanitizer (CMake option VOSTRA_FUZZ,
# the normal build's floating-point flags) into build/fuzz, lays them out as
# a package in build/fuzz/site, and runs each target of tests/fuzz/ from its
# seed corpus in tests/fuzz/corpus/<target>/ for a bounded time. New inputs
# go to build/fuzz/corpus/<target>/; the repository's corpus is only read.
# A crash, a sanitizer report or a disagreement with the Python model stops
# the target, leaves the input in build/fuzz/findings/ and makes the script
# exit 1.
#
# Needs clang++ (Debian: apt-get install -y clang), cmake, and in the running
# Python NumPy >= 2, vostra's dependencies and atheris (pip install atheris).
#
#   tools/fuzz.sh                          # every target, FUZZ_TIME (30) seconds each
#   FUZZ_TIME=600 tools/fuzz.sh fuzz_backtest
#   FUZZ_RUNS=20000 tools/fuzz.sh          # a number of inputs instead of a time
#   tools/fuzz.sh --replay FILE fuzz_backtest   # one input, e.g. from tests/fuzz/crashes/
#   tools/fuzz.sh --merge fuzz_backtest    # minimise build/fuzz/corpus into the seed corpus
#
# Longer campaigns: raise FUZZ_TIME (hours are fine) and run one target per
# core with FUZZ_ARGS="-jobs=2 -workers=2" (libFuzzer's own options pass
# through FUZZ_ARGS); afterwards --merge keeps the inputs that add coverage
# and a reproducer of every finding goes to tests/fuzz/crashes/ with a test in
# the normal suite once fixed. Each input runs the slow Python model too, so
# runs are hundreds, not millions, per second.
#
# Measured on the project's 2-core machine (shared with other work; clang 14,
# atheris 3.0.0), bounded runs from the seed corpus:
#   fuzz_backtest  90 s:  49,214 inputs,   540 exec/s, cov 1903, ft 6032
#   fuzz_recorder  60 s:  29,477 inputs,   483 exec/s, cov  755, ft 3929
#   fuzz_utils     60 s: 143,504 inputs, 2,352 exec/s, cov  116, ft  412
# and ten-minute runs of every target, two at a time beside other work (so at
# lower rates), from the seed corpus:
#   fuzz_engine   600 s: 106,535 inputs,   177 exec/s, cov 2244, ft 5168
#   fuzz_utils    600 s: 194,975 inputs,   324 exec/s, cov  122, ft  436
#   fuzz_backtest 600 s:  30,026 inputs,    49 exec/s, cov 2474, ft 7601
#   fuzz_recorder 600 s:  30,091 inputs,    50 exec/s, cov  858, ft 4538
# and fuzz_engine once it drew the account options and the market's rules,
# from its own seed corpus (tests/fuzz/corpus/fuzz_engine):
#   fuzz_engine   120 s:  22,786 inputs,   188 exec/s, cov 3335, ft 10310
# (cov/ft: libFuzzer's covered edges and features, native and model code.)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${VOSTRA_FUZZ_BUILD_DIR:-build/fuzz}
time_limit=${FUZZ_TIME:-30}
targets_all=(fuzz_backtest fuzz_recorder fuzz_utils fuzz_engine)

mode=run
if [[ ${1:-} == --replay ]]; then mode=replay; input=$2; shift 2; fi
if [[ ${1:-} == --merge ]]; then mode=merge; shift; fi
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=("${targets_all[@]}")

python=$(command -v python3)
runtime=$("$python" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so
[[ -f $runtime ]] || { echo "fuzz.sh: atheris' $runtime is missing (pip install atheris)" >&2; exit 2; }

# --- Build ------------------------------------------------------------------------
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
CXX=${FUZZ_CXX:-clang++} cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOSTRA_FUZZ=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j 2 >/dev/null
site=$build/site
rm -rf "$site" && mkdir -p "$site"
cp -r src/vostra "$site/"
rm -f "$site"/vostra/core/*.so "$site"/vostra/_engine.*.so
for so in "$build"/*.so; do
    case "$(basename "$so")" in
        _engine.*) ln -s "$(realpath "$so")" "$site/vostra/" ;;
        *) ln -s "$(realpath "$so")" "$site/vostra/core/" ;;
    esac
done

# --- Run ----------------------------------------------------------------------------
# The interpreter is not instrumented: the sanitizer and fuzzer runtime is
# preloaded, Python's allocator is bypassed so ASan sees every block, and
# leaks of the interpreter itself are not ours to report.
fuzz() {
    LD_PRELOAD=$runtime PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    PYTHONPATH="$root/$site:$root/tests/fuzz" "$python" "$root/tests/fuzz/$1.py" "${@:2}"
}

failed=()
summary=()
for t in "${targets[@]}"; do
    seeds=tests/fuzz/corpus/$t
    corpus=$build/corpus/$t
    mkdir -p "$seeds" "$corpus" "$build/findings"
    case $mode in
    replay)
        fuzz "$t" "$input" || failed+=("$t")
        continue ;;
    merge)
        fuzz "$t" -merge=1 "$seeds" "$corpus" || failed+=("$t")
        continue ;;
    esac
    bound=(-max_total_time="$time_limit")
    [[ -n ${FUZZ_RUNS:-} ]] && bound=(-runs="$FUZZ_RUNS")
    log=$build/$t.log
    echo "== $t (${bound[*]})"
    # shellcheck disable=SC2086
    if fuzz "$t" "$corpus" "$seeds" "${bound[@]}" -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$t-" ${FUZZ_ARGS:-} >"$log" 2>&1; then
        if grep -q "nothing to fuzz" "$log"; then
            summary+=("$t: skipped ($(tail -1 "$log"))")
            continue
        fi
        done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
        runs=$(grep -oE 'number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
        cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' <<<"$done_line" || true)
        rate=$(grep -oE 'average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
        summary+=("$t: ${runs:-?} inputs, ${rate:-?} exec/s, $cov")
    else
        failed+=("$t")
        summary+=("$t: FINDING, see $log and $build/findings/")
        grep -vE '^#[0-9]+ ' "$log" | tail -40 >&2
    fi
done

for line in "${summary[@]}"; do echo "$line"; done
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz.sh: findings or failures in: ${failed[*]}" >&2
    exit 1
fi
