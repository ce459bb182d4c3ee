#!/bin/sh
# The test's shell on the second serial port: carries out the host's lines
# one at a time and answers each with "@@END <status>".
stty -echo
echo "@@READY $(cat /proc/uptime)"
while IFS= read -r line; do
    eval "$line" </dev/null
    echo "@@END $?"
done
