#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program against the virtual controller.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
orvane_install_deps
# build/ is shared with test.sh, whose -Werror would otherwise stay in the cache.
# Only what starts here, the client the README's examples use and the man
# pages, so that `cmake --install build` works afterwards: the tests and
# benchmarks are test.sh's to build.
ORVANE_TARGETS="orvane orvane-sim orvane-exec orvane_dist_gzipped" orvane_build build -DORVANE_WERROR=OFF

bin=build/bin
# A first start gets port 1 and a 500 ms time-out; the user's own file is never replaced.
if [ ! -e "$bin/LED_CONFIG.TXT" ]; then
    printf '"PORT",1\r\n"TIMEOUT",500\r\n' > "$bin/LED_CONFIG.TXT"
fi

# The virtual controller answers on port 1 (build/bin/COM1) while the program runs.
"$bin/orvane-sim" --link "$bin/COM1" --no-show >/dev/null &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -L "$bin/COM1" ] && break; sleep 0.1; done

"$bin/orvane" "$@"
