#!/bin/sh
# Items with condition 1 are installed when this script succeeds.
exit 0
