#!/usr/bin/env bash
# Fuzzes each target for a given time, one after another, on one core.
#
#   bash scripts/fuzz.sh [seconds per target] [target...]
#
# Targets: server_request, server_session, client_reply, request_decoder, proxy_header
# (default: all five; 60 s each).
# Builds them with clang in build-fuzz/ (-DGAVO_BUILD_FUZZ=ON: libFuzzer, ASan, UBSan).
# Each target starts from its seeds in fuzz/corpus/<target>/ and grows a working corpus
# in build-fuzz/corpus/<target>/; a finding is written to build-fuzz/findings/<target>/
# and makes the script fail. The log of each run is build-fuzz/fuzz-<target>.log, whose
# last lines are libFuzzer's final statistics (executions, exec/s, cov, ft).
#
# A finding, once fixed, is copied into fuzz/corpus/<target>/ as crash-<what> so that the
# replay test of the normal suite (ctest: fuzz_replay_<target>) runs it for good.
set -euo pipefail

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(server_request server_session client_reply request_decoder proxy_header)

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DGAVO_BUILD_FUZZ=ON -DGAVO_WERROR=ON -DGAVO_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 "${targets[@]/#/fuzz_}"

# Longest input per target: whole request streams, request sequences, reply streams,
# and request streams for the decoder (2 KiB holds the longest kept name and every
# framing byte 1 can give; longer streams only repeat states).
declare -A max_len=([server_request]=8192 [server_session]=256 [client_reply]=4096
    [request_decoder]=2048 [proxy_header]=600)

# A smaller quarantine keeps use-after-free detection for recent frees while sparing
# the page faults of always-fresh memory, which halve the speed on small machines.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

status=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    findings=$build/findings/$target/
    mkdir -p "$corpus" "$findings"
    echo "fuzzing $target for $seconds s (log: $build/fuzz-$target.log)"
    if ! "$build/fuzz/fuzz_$target" "$corpus" "$root/fuzz/corpus/$target" \
        -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=60 \
        -rss_limit_mb=2048 -malloc_limit_mb=512 -print_final_stats=1 \
        -artifact_prefix="$findings" >"$build/fuzz-$target.log" 2>&1; then
        echo "  FINDING: see $build/fuzz-$target.log and $findings"
        status=1
    fi
    grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec)|#[0-9]+ *DONE" \
        "$build/fuzz-$target.log" | sed 's/^/  /' || true
done
exit $status
