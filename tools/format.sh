#!/usr/bin/env bash
# Formats every C and C++ source of the project with the root .clang-format.
#   bash tools/format.sh           rewrite files in place
#   bash tools/format.sh --check   only report files that differ (exit status 1)
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=${CLANG_FORMAT:-clang-format}
if ! command -v "$formatter" >/dev/null; then
    echo "format: $formatter not found (apt-get install clang-format)" >&2
    exit 2
fi

mapfile -t files < <(git ls-files -- '*.c' '*.cpp' '*.h')
if [[ ${1:-} == --check ]]; then
    "$formatter" --dry-run --Werror "${files[@]}"
else
    "$formatter" -i "${files[@]}"
fi
