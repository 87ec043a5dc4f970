#!/usr/bin/env bash
# Formatting check: every C++ source tracked by git must match .clang-format.
set -euo pipefail
git ls-files -z -- '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run -Werror
echo "formatting ok"
