#!/usr/bin/env bash
# Runs every test of the suite: installs what is missing, builds the four
# presets and runs the Linux test presets, with the Wine check beside them.
# Exits non-zero on any failure.
#
# The Windows build comes first: a Linux test checks the exports of the DLLs
# in build/win32/bin. The win64-check preset builds a 64-bit stand-in of the
# Windows programs for the Wine check on hosts that run no 32-bit programs.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)
logs=$root/build/logs
started=$SECONDS

results=()   # one summary line per step
failed=0

step() {  # step NAME COMMAND...: runs a command, records its outcome and time
    local name=$1
    shift
    local begin=$SECONDS
    echo
    echo "=== $name: $*"
    if "$@"; then
        results+=("$(printf '%-24s ok      %4ds' "$name" $((SECONDS - begin)))")
        return 0
    fi
    results+=("$(printf '%-24s FAILED  %4ds' "$name" $((SECONDS - begin)))")
    failed=1
    return 1
}

build_preset() {  # configure and build one preset
    cmake --preset "$1" && cmake --build --preset "$1" -j "$jobs"
}

passed_total=0
failed_total=0
ctest_lines=()

run_ctest() {  # runs one test preset; keeps its summary line
    local preset=$1 log=$logs/ctest-$1.log status
    ctest --preset "$preset" -j "$jobs" --no-tests=error 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    # "100% tests passed, 0 tests failed out of 42"
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -n "$line" ]]; then
        local failures total
        failures=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
        passed_total=$((passed_total + total - failures))
        failed_total=$((failed_total + failures))
        ctest_lines+=("$(printf '%-12s %s' "$preset" "$line")")
    else
        ctest_lines+=("$(printf '%-12s %s' "$preset" "no ctest summary (see $log)")")
    fi
    return "$status"
}

step "install-deps" bash scripts/install-deps.sh || { echo "test.sh: cannot install the build tools" >&2; exit 1; }
mkdir -p "$logs"

built=()
for preset in win32 win64-check linux linux-asan; do
    if step "build $preset" build_preset "$preset"; then
        built+=("$preset")
    fi
done

# The Windows build under Wine: the i686 deliverables when this host runs
# 32-bit programs, the 64-bit stand-in otherwise (wine-check.sh says which).
# It mostly waits for windows, so it runs beside the Linux tests; its output
# is shown when it has ended. Exit code 77: no Wine runs here; the summary
# shows it as SKIPPED.
wine_pid=''
if [[ " ${built[*]} " == *" win32 "* && " ${built[*]} " == *" win64-check "* ]]; then
    wine_begin=$SECONDS
    echo
    echo "=== wine check (beside the Linux tests): scripts/wine-check.sh build/win32/bin build/win64-check/bin"
    (
        bash scripts/wine-check.sh build/win32/bin build/win64-check/bin >"$logs/wine-check.log" 2>&1 </dev/null
        echo "$? $((SECONDS - wine_begin))" >"$logs/wine-check.outcome"
    ) &
    wine_pid=$!
else
    results+=("$(printf '%-24s SKIPPED (build failed)' "wine check")")
fi

for preset in linux linux-asan; do
    if [[ " ${built[*]} " == *" $preset "* ]]; then
        step "ctest $preset" run_ctest "$preset"
    else
        results+=("$(printf '%-24s SKIPPED (build failed)' "ctest $preset")")
        ctest_lines+=("$(printf '%-12s %s' "$preset" "not run: its build failed")")
    fi
done

if [[ -n $wine_pid ]]; then
    wait "$wine_pid"
    read -r wine_status wine_seconds <"$logs/wine-check.outcome"
    echo
    echo "=== wine check: $logs/wine-check.log"
    cat "$logs/wine-check.log"
    # "wine-check: passed (win64: /path/to/bin)"
    checked=$(sed -nE 's/^wine-check: passed \((win32|win64):.*/\1/p' "$logs/wine-check.log")
    case $checked in
        win32) checked="wine check (i686)" ;;
        win64) checked="wine check (x64)" ;;
        *) checked="wine check" ;;
    esac
    case $wine_status in
        0) results+=("$(printf '%-24s ok      %4ds' "$checked" "$wine_seconds")") ;;
        77) results+=("$(printf '%-24s SKIPPED (no Wine runs here)' "wine check")") ;;
        *)
            results+=("$(printf '%-24s FAILED  %4ds' "wine check" "$wine_seconds")")
            failed=1
            ;;
    esac
fi

echo
echo "=== summary ($((SECONDS - started))s in all, $jobs jobs)"
printf '  %s\n' "${results[@]}"
echo
printf '  %s\n' "${ctest_lines[@]}"
echo
if ((failed)); then
    echo "test.sh: FAILED (see the steps above)"
else
    echo "test.sh: all builds and tests passed"
fi
echo "tests: $passed_total passed, $failed_total failed"
exit "$failed"
