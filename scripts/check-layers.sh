#!/usr/bin/env bash
# Checks that each source folder includes only itself and the folders below it:
#   include <- port <- proto <- net <- runtime <- nfile   (the library, bottom up)
#   proto <- server/base <- server/net <- server/files <- server/tables <- server/admin
#         <- server                                        (the server links proto only)
#   the library <- tools
# and that no two source files include each other's headers in a circle (a.cpp includes
# b.h while b.cpp or b.h includes a.h), in any folder.
# Prints every include that points up or sideways, and every circle, and fails on one.
set -euo pipefail
cd "$(dirname "$0")/.."
server_below="proto server/base server/net server/files server/tables"
declare -A allowed=(
  [port]="port"
  [proto]="proto"
  [net]="port proto net"
  [runtime]="include port proto net runtime"
  [nfile]="include port proto net runtime nfile"
  [server/base]="proto server/base"
  [server/net]="proto server/base server/net"
  [server/files]="proto server/base server/net server/files"
  [server/tables]="proto server/base server/net server/files server/tables"
  [server/admin]="$server_below server/admin"
  [server]="$server_below server/admin server"
  [tools]="include port proto net runtime nfile tools"
)
# The folder an include names: its directory ("server/net/conn.h" -> server/net); a name
# without a folder ("settings.h") is beside the file that includes it.
folder_of() { if [[ "$2" == */* ]]; then echo "${2%/*}"; else echo "${1%/*}"; fi; }
bad=0
for folder in "${!allowed[@]}"; do
  while IFS=: read -r file _ target; do
    dep=$(folder_of "$file" "$target")
    [[ " ${allowed[$folder]} " == *" $dep "* ]] && continue
    echo "$file includes $target: $folder/ may include only ${allowed[$folder]}"
    bad=1
  done < <(grep -HnoE '#include "[a-z_/]+\.h"' "$folder"/*.{h,cpp} 2>/dev/null |
           sed -E 's/#include "([^"]+)"/\1/')
done
# File-level circles: an edge from unit A (a.h and a.cpp) to unit B when A includes b.h;
# tsort names the units of every loop it finds.
edges=$(for f in $(git ls-files '*.h' '*.cpp'); do
          { grep -oE '#include "[a-z_/]+\.h"' "$f" || true; } |
            sed -E 's/#include "([^"]+)\.h"/\1/' | while read -r target; do
              [[ "$target" == */* ]] || target="${f%/*}/$target"
              echo "${f%.*} $target"
            done
        done)
if ! loops=$(echo "$edges" | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
  echo "files that include each other in a circle:"; echo "$loops"
  bad=1
fi
exit $bad
