#!/bin/sh
# Runs the test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module.
#
#   scripts/sanitize-asan.sh                  # the whole suite
#   scripts/sanitize-asan.sh tests/test_robustness.py -k key   # pytest arguments
#
# Builds the module with CORVANE_SANITIZE=address,undefined into
# build/asan-mod, puts that directory first on PYTHONPATH (the script checks
# that it is the module Python imports) and preloads GCC's ASan runtime (and
# libstdc++, see sanitize-common.sh) into every Python process; ffmpeg,
# ffprobe, openssl and Chromium run without it through small wrappers on PATH.
# ASan reports go to build/sanitize/asan/asan.PID and are summarised at the
# end. UBSan stops the process at its first report (exit status 87), so the
# test that met it fails; GCC's UBSan runtime writes its reports on standard
# error whatever log_path says, so the summary also counts the "runtime
# error:" lines in pytest's output (build/sanitize/asan-pytest.log), which
# shows them for failed tests that print their child's errors. Leak checking is off here:
# CPython and FFmpeg keep allocations until exit (scripts/memcheck.sh looks
# for leaks).
#
# Exit status: pytest's, or 1 when the suite passed but a report was written.
# Needs: Debian 12 as root (installs what is missing), gcc with libasan.
set -eu
cd "$(dirname "$0")/.."
. scripts/sanitize-common.sh

prepare_asan_module

REPORTS="$OUT/asan"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
TOOLS="$(pwd)/$OUT/plain-tools"
make_plain_tools "$TOOLS"
check_import build/asan-mod "$(preload_for libasan.so)"

export PYTHONPATH="$(pwd)/build/asan-mod${PYTHONPATH:+:$PYTHONPATH}"
export PATH="$TOOLS:$PATH"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:exitcode=86:allocator_may_return_null=1:log_path=$(pwd)/$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87:log_path=$(pwd)/$REPORTS/ubsan"
LD_PRELOAD=$(preload_for libasan.so)
export LD_PRELOAD

say "running pytest ${*:-(whole suite)} with $LD_PRELOAD preloaded"
status=0
"$PY" -m pytest -q -p no:cacheprovider -rxX "$@" >"$OUT/asan-pytest.log" 2>&1 || status=$?
unset LD_PRELOAD
cat "$OUT/asan-pytest.log"

"$PY" scripts/sanitize-report.py sanitizer "$REPORTS" || { [ "$status" -ne 0 ] || status=1; }
ub=$(grep -o 'src/[^ ]*: runtime error: [^:]*' "$OUT/asan-pytest.log" | sort | uniq -c || true)
if [ -n "$ub" ]; then
    say "UBSan reports seen in pytest's output:"
    echo "$ub"
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
