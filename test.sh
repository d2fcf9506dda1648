#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then the same tests
# under the sanitizers and the fuzzers (tools/checks.sh). ORVANE_CHECKS=0
# stops after the plain tests.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
orvane_install_deps $ORVANE_TEST_PACKAGES
start=$SECONDS
orvane_build build -DBUILD_TESTING=ON
echo "   plain build: $((SECONDS - start)) s"
start=$SECONDS
(cd build && ctest --output-on-failure -j2)
echo "   plain tests: $((SECONDS - start)) s"
[ -e tests/support/aedes/node_modules/aedes ] ||
    echo "   note: npm could not install Aedes, so the rows with a broker of MQTT 3.1.1 only were skipped"
[ "${ORVANE_CHECKS:-1}" = 0 ] || tools/checks.sh
