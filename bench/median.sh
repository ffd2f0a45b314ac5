# The median of a benchmark's rounds (sourced): other work on a shared machine moves single runs
# by a lot, so runs alternate and their medians are compared.
# shellcheck shell=bash
median() { # KIND ARRAY  (the values ARRAY[KIND1] .. ARRAY[KIND$ROUNDS])
    local -n values=$2
    for round in $(seq "$ROUNDS"); do echo "${values[$1$round]}"; done | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
