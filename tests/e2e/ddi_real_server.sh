#!/usr/bin/env bash
# The rollout-server cases that need no server of the test's own, run against a real DDI server: skipped
# (exit 77) unless DDI_URL, DDI_TENANT and DDI_TOKEN are set. Not part of the test suite: it reaches the
# network. Before running, deploy a package signed by the key DDI_KEY (.pem) to the controller DDI_CONTROLLER
# (default SN-0001) on that server; "install" must then install it, "refused" runs with a token the server
# never issued.
#
#   DDI_URL=https://rollout.example DDI_TENANT=DEFAULT DDI_TOKEN=... DDI_KEY=release.pem \
#       tests/e2e/ddi_real_server.sh BUILD_DIR
set -uo pipefail
if [ -z "${DDI_URL:-}" ] || [ -z "${DDI_TENANT:-}" ] || [ -z "${DDI_TOKEN:-}" ]; then
    echo "SKIP: set DDI_URL, DDI_TENANT and DDI_TOKEN to run against a real rollout server" >&2
    exit 77
fi
[ $# = 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$1
status=0
for case in install refused; do
    bash "$here/ddi_case.sh" "$case" --sim "$here/../../tools/instrument-sim" \
        --fat-lib "$build/tools/sim_fat_attr.so" --vex-pkg "$build/tools/vex-pkg/vex-pkg" \
        --fetch "$build/tools/vex-pkg-fetch/vex-pkg-fetch" \
        --installer "$build/app/vex-pkg-install" || status=1
    echo "ddi_real_server: case $case: $([ $status = 0 ] && echo passed || echo FAILED)"
done
exit $status
