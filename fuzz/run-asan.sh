#!/bin/sh
# The full fuzz run: mutated seed clips through the whole job (one 360p
# rendition each) with the AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module.
#
#   fuzz/run-asan.sh                    # 2000 cases
#   CASES=200 JOBS=2 fuzz/run-asan.sh   # fewer cases, two at a time
#
#   CASES    number of cases (default 2000)
#   JOBS     cases run at once (default 1)
#   TIMEOUT  seconds one case may take before it counts as a hang (default 60)
#   SEED     mutation seed (default 1); case N of a seed is always the same
#
# Builds build/asan-mod (see scripts/sanitize-asan.sh), makes the seeds in
# build/fuzz/seeds and keeps every case that crashed, hung, made a sanitizer
# report or contradicted its own log in build/fuzz/out/findings/, with its
# log; build/fuzz/out/summary.json has the counts. Exit status 1 when any
# case was kept.
set -eu
cd "$(dirname "$0")/.."
. scripts/sanitize-common.sh

prepare_asan_module

exec "$PY" fuzz/fuzz_job.py --sanitize asan --module build/asan-mod \
    --cases "${CASES:-2000}" --jobs "${JOBS:-1}" --timeout "${TIMEOUT:-60}" --seed "${SEED:-1}"
