#!/bin/sh
# Prints the fenced code block of README.md (or of FILE, a path from the top of the tree)
# that follows the line "<!-- ci: NAME -->", so that CI runs the commands a reader copies,
# as written.
#
# Usage: .ci/readme-block.sh NAME [FILE]
set -eu
file=$(cd "$(dirname "$0")/.." && pwd)/${2:-README.md}
block=$(awk -v mark="<!-- ci: $1 -->" '
    $0 == mark { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$file")
[ -n "$block" ] || { echo "readme-block: no block marked '$1' in ${2:-README.md}" >&2; exit 1; }
printf '%s\n' "$block"
