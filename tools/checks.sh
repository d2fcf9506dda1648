#!/usr/bin/env bash
# The checking builds that test.sh runs after the plain tests:
#  1. every test under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan);
#  2. each libFuzzer target for ORVANE_FUZZ_SECONDS (default 40) from its seed
#     corpus, with clang (build-fuzz).
# Any sanitizer report, in a test or in a program a test starts, and any crash,
# hang or leak a fuzzer finds, fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
seconds="${ORVANE_FUZZ_SECONDS:-40}"

echo "== Every test under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan)"
start=$SECONDS
orvane_build build-asan -DORVANE_SANITIZE=ON -DORVANE_WERROR=OFF
reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT
status=0
(
    # Reports go to files, so those of the programs the tests start count too.
    export ASAN_OPTIONS="log_path=$reports/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    # The install and package test checks files, not code: the plain build ran it.
    cd build-asan && ctest --output-on-failure -j2 -LE install
) || status=1
if compgen -G "$reports/*" >/dev/null; then
    echo "Sanitizer reports:"
    cat "$reports"/*
    status=1
fi
echo "   sanitizer build and tests: $((SECONDS - start)) s"
[ $status -eq 0 ] || exit 1

echo "== Fuzzers, $seconds s each (build-fuzz)"
start=$SECONDS
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DORVANE_FUZZ=ON -DORVANE_FUZZ_SECONDS="$seconds" -DORVANE_WERROR=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzzers
(cd build-fuzz && ctest -L fuzz -j2 --output-on-failure) || status=1
# Executions per fuzzer, from the final statistics each one prints.
awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
     /^stat::number_of_executed_units:/ { runs[name] = $2 }
     /^stat::average_exec_per_sec:/ { rate[name] = $2 }
     /^stat::peak_rss_mb:/ { rss[name] = $2 }
     END { for (n in runs) printf "   %-18s %9d runs  %6d/s  peak %4d MB\n", n, runs[n], rate[n], rss[n] }' \
    build-fuzz/Testing/Temporary/LastTest.log
[ $status -eq 0 ] || echo "   inputs that failed are kept in build-fuzz/fuzz/artifacts/"
echo "   fuzz build and runs: $((SECONDS - start)) s"
exit $status
