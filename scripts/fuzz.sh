#!/usr/bin/env bash
# Fuzzes each target with libFuzzer (clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# for the given seconds, starting from the checked-in corpus; new inputs are kept under
# build/fuzz/corpus/<target>, crashes under build/fuzz/findings/<target>.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# targets: ioctl peer_block config telnet telnet_client rfc2217_session service_decoder
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(ioctl peer_block config telnet telnet_client rfc2217_session service_decoder)
fi

scripts/install-deps.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DQUARVEX_FUZZ=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined" >/dev/null
for target in "${targets[@]}"; do
    cmake --build build/fuzz --parallel 2 --target "${target}_fuzz" >/dev/null
done
for target in "${targets[@]}"; do
    mkdir -p "build/fuzz/corpus/$target" "build/fuzz/findings/$target"
    echo "=== $target: ${seconds} s"
    build/fuzz/fuzz/"${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="build/fuzz/findings/$target/" \
        "build/fuzz/corpus/$target" "fuzz/corpus/$target" 2>&1 |
        grep -E "stat::number_of_executed_units|stat::peak_rss|ERROR|SUMMARY|Done" || true
done
