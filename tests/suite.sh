#!/usr/bin/env bash
# The test suite in two passes: the tests that keep real time (marker `serial`) alone, after the
# rest in parallel (pytest-xdist, PYTEST_JOBS workers, 3 by default: most tests wait on pseudo-
# terminals and subprocesses rather than compute).
#   tests/suite.sh PYTHON [MARK-EXPRESSION] [PYTEST-ARGUMENTS...]
# A pass that selects no test is not a failure; the first failing pass ends the run.
set -u
python=$1
marks=${2:-}
shift $(($# < 2 ? $# : 2))
cd "$(dirname "$0")" || exit 1

pass() {
    "$python" -m pytest -q -p no:cacheprovider "$@"
    local status=$?
    [ "$status" = 0 ] || [ "$status" = 5 ] || exit "$status"
}

pass -n "${PYTEST_JOBS:-3}" -m "not serial${marks:+ and ($marks)}" "$@"
pass -m "serial${marks:+ and ($marks)}" "$@"
