#!/bin/sh
# Items with condition 2 are installed only on legacy boards; this sample says no.
exit 1
