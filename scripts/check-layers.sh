#!/usr/bin/env bash
# Checks that every include in the source tree points down the layers: each folder may
# include only itself and the folders listed for it, and the pure folders include no
# operating-system interface. Prints each breach and fails when there is one.
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}

declare -A allowed=(
    [support]="support"
    [protocol]="protocol support"
    [platform]="platform protocol support"
    [engines]="engines platform protocol support"
    [quicktest]="quicktest engines platform protocol support"
    [service]="service quicktest engines platform protocol support"
    [assessment]="assessment protocol support"
    [model]="model service quicktest engines platform assessment protocol support"
    [app]="app model service quicktest engines platform assessment protocol support"
    # Inside the assessment: shared text forms, then verdicts, then what shows them.
    [assessment/text]="assessment/text protocol support"
    [assessment/verdict]="assessment/verdict assessment/text protocol support"
    [assessment/report]="assessment/report assessment/verdict assessment/text protocol support"
    [assessment/presentation]="assessment/presentation assessment/verdict assessment/text protocol support"
)
# System interfaces the pure folders must not reach.
system='<(sys|net|netinet|arpa|linux)/|<(ifaddrs|unistd|fcntl|dirent|poll|signal|pthread)\.h>'

breaches=0
for folder in "${!allowed[@]}"; do
    [[ -d "$src/$folder" ]] || { echo "missing folder: $folder"; breaches=1; continue; }
    while IFS= read -r line; do
        file=${line%%:*}
        target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
        ok=0
        for layer in ${allowed[$folder]}; do
            # A folder's own includes may name any of its sub-folders; a sub-folder's
            # rules are checked on their own.
            [[ $target == "$layer"/* ]] && ok=1
        done
        if ((!ok)); then
            echo "$file includes \"$target\", above or beside $folder"
            breaches=1
        fi
    done < <(grep -rHE '^#include "[a-z_]+/' "$src/$folder" --include='*.h' --include='*.cpp' |
             sed -E 's/:[0-9]*:?/:/' || true)
done
for folder in protocol assessment; do
    if grep -rnE "^#include $system" "$src/$folder"; then
        echo "operating-system interface in $folder, which holds pure logic"
        breaches=1
    fi
done
exit $breaches
