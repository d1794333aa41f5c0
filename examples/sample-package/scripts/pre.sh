#!/bin/sh
echo "pre.sh: instrument ready"
exit 0
