#!/bin/sh
# Fails when a C++ file of the project differs from what .clang-format makes
# of it, and names the files. Run from anywhere; make test runs it.
set -eu
cd "$(dirname "$0")/.."
if git rev-parse --git-dir >/dev/null 2>&1; then
    files=$(git ls-files '*.cpp' '*.h')
else
    files=$(find src tests tools bench -name '*.cpp' -o -name '*.h')
fi
# One run for all files; each difference is reported as "file:line:col: ...".
if ! report=$(clang-format --dry-run --Werror $files 2>&1); then
    echo "not formatted as .clang-format says (clang-format -i fixes):" >&2
    echo "$report" | grep -o '^[^:]*:[0-9]*' | sort -u >&2
    exit 1
fi
echo "all C++ files formatted"
