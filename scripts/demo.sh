#!/usr/bin/env bash
# Builds the library and runs the example host program in working mode 1 with a
# configuration of its own, then shows the error log it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target gavo_example
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp build/gavo_example "$work/"
cp -P build/libGAVO_Client.so* "$work/"
printf '[Config]\nCTRL_MODE=1\nBASE_DIR=%s/data\n' "$work" > "$work/gavo.ini"
echo "== working mode 1: files under $work/data"
status=0
LD_LIBRARY_PATH="$work" "$work/gavo_example" || status=$?
echo "== error log ($work/gavo_nfile_err.log, shown as UTF-8)"
iconv -f CP936 -t UTF-8 "$work/gavo_nfile_err.log"
echo
exit $status
