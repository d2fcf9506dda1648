#!/usr/bin/env bash
# The checking build that test.sh runs after the plain tests: one clang tree
# (build-check) with AddressSanitizer and UndefinedBehaviorSanitizer, warnings
# as errors, holding both
#  1. every test, run under the sanitizers;
#  2. each libFuzzer target, run for ORVANE_FUZZ_SECONDS (default 40) from its
#     seed corpus.
# Any sanitizer report, in a test or in a program a test starts, and any crash,
# hang or leak a fuzzer finds, fails. ORVANE_CHECKS_ONLY=REGEX runs only the
# tests and fuzzers whose names match.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
seconds="${ORVANE_FUZZ_SECONDS:-40}"

echo "== Sanitizer and fuzzer build, clang (build-check)"
start=$SECONDS
# Warnings are errors here, where only tests ever run; build/ keeps a user's
# build going on a compiler with more warnings.
orvane_build build-check -DCMAKE_CXX_COMPILER=clang++ -DORVANE_FUZZ=ON -DORVANE_FUZZ_SECONDS="$seconds" \
    -DORVANE_WERROR=ON
echo "   build: $((SECONDS - start)) s"

echo "== Every test under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzzers, $seconds s each"
start=$SECONDS
reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT
status=0
(
    # Reports go to files, so those of the programs the tests start count too.
    export ASAN_OPTIONS="log_path=$reports/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    # The install and package test checks files, not code: the plain build ran it.
    # Tests and fuzzers share the two slots; the longest start first (COST).
    cd build-check && ctest --output-on-failure -j2 -LE install ${ORVANE_CHECKS_ONLY:+-R "$ORVANE_CHECKS_ONLY"}
) || status=1
# A report is what a sanitizer found in our code. A note a sanitizer writes
# about itself (a symbolizer it cannot find, say) goes to the same files and
# is shown, but fails nothing.
found=()
for f in "$reports"/*; do
    [ -e "$f" ] || continue
    if grep -qE 'ERROR: [A-Za-z]+Sanitizer|runtime error:|SUMMARY: [A-Za-z]+Sanitizer' "$f"; then
        found+=("$f")
    else
        echo "Sanitizer note, not a report ($(basename "$f")):"
        head -n 5 "$f"
    fi
done
if [ ${#found[@]} -gt 0 ]; then
    echo "Sanitizer reports:"
    cat "${found[@]}"
    status=1
fi
# Executions per fuzzer, from the final statistics each one prints.
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
     /^stat::number_of_executed_units:/ { runs[name] = $2 }
     /^stat::average_exec_per_sec:/ { rate[name] = $2 }
     /^stat::peak_rss_mb:/ { rss[name] = $2 }
     END { for (n in runs) printf "   %-18s %9d runs  %6d/s  peak %4d MB\n", n, runs[n], rate[n], rss[n] }' \
    build-check/Testing/Temporary/LastTest.log
if [ $status -ne 0 ] && compgen -G "build-check/fuzz/artifacts/*" >/dev/null; then
    echo "   inputs a fuzzer failed on:"
    ls -1 build-check/fuzz/artifacts/ | sed 's|^|      build-check/fuzz/artifacts/|'
fi
echo "   sanitizer tests and fuzzers: $((SECONDS - start)) s"
exit $status
