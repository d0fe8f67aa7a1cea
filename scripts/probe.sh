#!/usr/bin/env bash
# The fault probe: plants one-line faults, one at a time, in the lines a change added under src/
# since BASE (default: the last merge), runs the quick loop for each and prints the faults no test
# caught. Every file is as it was afterwards, after an error, Ctrl-C or SIGTERM too.
#
#   scripts/probe.sh [BASE] [--list] [--max N] [--wine REGEX]
#
# docs/building-and-testing.md ("The fault probe") says what each option does.
exec python3 "$(dirname "${BASH_SOURCE[0]}")/probe.py" "$@"
