#!/usr/bin/env bash
# Runs every test that the build made, then sums up: host tests and lab scenarios apart.
# Extra arguments go to CTest. TAVREL_SKIP_LAB=1 leaves the lab out, and says so.
# Two tests at a time, one per core: the lab's machines each take one scenario at a time.
set -uo pipefail
cd "$(dirname "$0")/.."
results=$PWD/build/host/test-results.xml
rm -f "$results"
select=()
[ -n "${TAVREL_SKIP_LAB:-}" ] && select=(-LE lab)
lab_total=$(ctest --test-dir build/host -N -L lab -E '^lab\.(setup|teardown)(\..*)?$' |
  sed -n 's/^Total Tests: //p')
ctest --test-dir build/host -j2 --output-on-failure --timeout 1800 --output-junit "$results" \
  "${select[@]}" "$@"
status=$?
python3 scripts/test_summary.py "$results" "$status" "${lab_total:-0}"
