#!/usr/bin/env bash
# Checks that every tracked C and C++ source is formatted as .clang-format
# says; prints the places that are not and fails. Files added later are
# checked as soon as git tracks them. Fix with:
#   git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format -i
# Usage: scripts/format_check.sh [CLANG_FORMAT]
set -euo pipefail
cd "$(dirname "$0")/.."

# The formatting of one clang-format release can differ from another's:
# Debian 12's clang-format 14 settles it (scripts/deps.sh installs it).
tool=${1:-${CLANG_FORMAT:-}}
if [[ -z "$tool" ]]; then
  for candidate in clang-format-14 clang-format; do
    if command -v "$candidate" >/dev/null; then
      tool=$candidate
      break
    fi
  done
fi
if [[ -z "$tool" ]]; then
  echo "format_check: no clang-format; scripts/deps.sh installs it" >&2
  exit 1
fi

# A checkout owned by another user (a CI runner's, a container's) is one git
# refuses to read without this.
git_() { git -c safe.directory="$PWD" "$@"; }

# Tracked sources only, vendored and generated trees left out.
mapfile -d '' files < <(git_ ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' \
  ':(exclude)third_party/**' ':(exclude)**/vendor/**' ':(exclude)**/node_modules/**' \
  ':(exclude)**/generated/**')
if ((${#files[@]} == 0)); then
  echo "format_check: no tracked C or C++ sources" >&2
  exit 1
fi

if printf '%s\0' "${files[@]}" | xargs -0 "$tool" --dry-run -Werror --style=file; then
  echo "format_check: ${#files[@]} files formatted as .clang-format says ($("$tool" --version))"
else
  echo "format_check: the places above differ from .clang-format (the fix is in this script's header)" >&2
  exit 1
fi
