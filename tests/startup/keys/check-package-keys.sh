#!/bin/sh
# Configuring must accept lists of Ed25519 public keys and fail on anything else.
# usage: check-package-keys.sh <cmake>

cmake=$1
script="$(dirname "$0")/check-package-keys.cmake"
good=nFX1jNvuFQyER2/dymVWyB7+Uuz+x7cZw6FGNvrvayo=
other=xcBfrt4AUzwHY+vqTnt7DHQSXp4cXI9Vd41e3TLh0iQ=
failures=0

expect() {
    outcome=$1
    name=$2
    keys=$3
    if "$cmake" "-DKEYS=$keys" -P "$script" >/dev/null 2>&1; then got=accepted; else got=refused; fi
    if [ "$got" = "$outcome" ]; then
        echo "PASS $name"
    else
        echo "FAIL $name: $got, expected $outcome"
        failures=$((failures + 1))
    fi
}

expect accepted "no key" ""
expect accepted "one key" "$good"
expect accepted "two keys" "$good;$other"
expect refused "43 characters" "${good#n}"
expect refused "45 characters" "A$good"
expect refused "padding missing" "${good%=}A"
expect refused "not Base64" "nFX1jNvuFQyER2/dymVWyB7-Uuz+x7cZw6FGNvrvayo="
expect refused "spare bits set" "nFX1jNvuFQyER2/dymVWyB7+Uuz+x7cZw6FGNvrvayp="
expect refused "empty entry between keys" "$good;;$other"
expect refused "hex instead of Base64" "9c55f58cdbee150c84476fddca6556c81efe52ecfec7b719c3a14636faef6b2a"

[ "$failures" -eq 0 ] || { echo "$failures key check(s) failed"; exit 1; }
