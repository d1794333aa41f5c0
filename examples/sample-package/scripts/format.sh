#!/bin/sh
# Called with the format flag, the write requests of the partitions it may re-create and the
# product's format parameter; this sample re-creates nothing.
echo "format.sh: arguments $*"
exit 0
