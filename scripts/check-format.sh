#!/usr/bin/env bash
# Fails when a C or C++ file tracked by git is not formatted as the repository's .clang-format
# says, and lists the files to reformat (`clang-format -i FILE`).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' '*.cc' '*.hpp')
unformatted=()
for file in "${files[@]}"; do
    if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
        unformatted+=("$file")
    fi
done
if ((${#unformatted[@]} > 0)); then
    echo "These files are not formatted (clang-format -i FILE):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "All ${#files[@]} C++ files are formatted."
