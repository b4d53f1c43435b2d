#!/bin/bash
# Every include in src/ points down: a file includes from its own folder and from the floors
# below it, never from a floor above, whether it names the file in quotes or in angle brackets.
# Usage: check_floors.sh <source root>
set -u
src=$(cd "$1/src" && pwd) || exit 1
# Bottom to top: each word is one folder of src/.
FLOORS=(platform lonmsg diag ldv instance status_text tcp lon_link mqtt bridge service startup)
declare -A floor
for i in "${!FLOORS[@]}"; do floor[${FLOORS[$i]}]=$i; done

# The path below src/ of what an include names, by the build's include paths: the
# including file's folder, src/, the platform's public headers, and (inside the platform) its
# private folder. Empty when it names no file.
resolve() {
    local from=$1 name=$2 dir path
    for dir in "${from%/*}" . platform/include platform; do
        [[ $dir == platform && $from != platform/* ]] && continue
        [[ -f $dir/$name ]] || continue
        path=$dir/$name
        while [[ $path =~ ^(.*/)?[^/.][^/]*/\.\./(.*)$ ]]; do path=${BASH_REMATCH[1]}${BASH_REMATCH[2]}; done
        echo "${path#./}"
        return
    done
}

failed=0
present=$(cd "$src" && find . -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort)
declared=$(printf '%s\n' "${FLOORS[@]}" | sort)
if [[ $declared != "$present" ]]; then
    echo "the floors do not name the folders of src/ (< floors, > folders):"
    diff <(echo "$declared") <(echo "$present")
    failed=1
fi
cd "$src" || exit 1
while IFS= read -r file; do
    file=${file#./}
    while IFS= read -r include; do
        name=${include:1:-1}
        # Angle brackets name a system or library header, unless the path starts with a folder
        # of src/ (<platform/...> included: the platform's public headers are the project's).
        [[ $include == '<'* && ( $name != */* || -z ${floor[${name%%/*}]:-} ) ]] && continue
        target=$(resolve "$file" "$name")
        if [[ -z $target ]]; then
            echo "$file: #include $include names no file of src/"
            failed=1
        elif [[ -z ${floor[${target%%/*}]:-} || ${floor[${target%%/*}]} -gt ${floor[${file%%/*}]} ]]; then
            echo "$file: #include $include points up, to ${target%%/*}"
            failed=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*\("[^"]*"\|<[^>]*>\).*/\1/p' "$file")
done < <(find . -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
[[ $failed == 0 ]] && echo "no include points up: ${FLOORS[*]}"
exit $failed
