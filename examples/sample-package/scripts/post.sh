#!/bin/sh
echo "post.sh: done"
exit 0
