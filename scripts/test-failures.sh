#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the failure lines of the last CTest run in build directory $1, so
# that they close the output even when a failing test printed pages before
# them: each Qt Test FAIL! with its location and compared values, fatal
# messages, and sanitizer reports.
set -uo pipefail
log="${1:?usage: test-failures.sh BUILD_DIR}/Testing/Temporary/LastTest.log"
[[ -r "$log" ]] || exit 0
echo "---- failures in the last test run (from $log) ----"
grep -E -A3 'FAIL!|QFATAL|ERROR: (Address|Leak|Thread|Undefined)Sanitizer|runtime error:|Test time-out|\*\*\*Timeout|Exception:' "$log" \
    | head -n 120
echo "---- end of failures ----"
