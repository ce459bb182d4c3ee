#!/bin/sh
# wait-until.sh SECONDS CONDITION: polls the shell condition until it holds;
# fails when SECONDS have passed first.
exec timeout "$1" sh -c "until $2; do sleep 0.1; done"
