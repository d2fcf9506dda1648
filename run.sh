#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program against the virtual controller.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
orvane_install_deps
orvane_build build
if [ ! -x build/bin/orvane ]; then
    echo "Built. The program itself does not exist yet; run ./test.sh for the tests."
    exit 0
fi
