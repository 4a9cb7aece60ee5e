#!/usr/bin/env bash
# Checks that each source folder includes only itself and the folders below it:
#   include <- port <- proto <- net <- runtime <- nfile   (the library, bottom up)
#   proto <- server                                        (the server links proto only)
#   the library <- tools
# Prints every include that points up or sideways and fails when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
  [port]="port"
  [proto]="proto"
  [net]="port proto net"
  [runtime]="include port proto net runtime"
  [nfile]="include port proto net runtime nfile"
  [server]="proto server"
  [tools]="include port proto net runtime nfile tools"
)
bad=0
for folder in "${!allowed[@]}"; do
  while IFS=: read -r file _ target; do
    dep=${target%%/*}
    [[ " ${allowed[$folder]} " == *" $dep "* ]] && continue
    echo "$file includes $target: $folder/ may include only ${allowed[$folder]}"
    bad=1
  done < <(grep -HnoE '#include "[a-z]+/[^"]+"' "$folder"/*.{h,cpp} 2>/dev/null |
           sed -E 's/#include "([^"]+)"/\1/')
done
exit $bad
