#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test. Exit status is the tests'.
#   scripts/test.sh              release build (with debug info) in build/, all tests
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in
#                                build-asan/, the unit and component tests
#   scripts/test.sh --thread-sanitize
#                                ThreadSanitizer build in build-tsan/, the unit and component
#                                tests (the end-to-end ones measure time, which it slows tenfold)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

mode=${1:-}

bash scripts/bootstrap.sh

if [ "$mode" = "--thread-sanitize" ]; then
    build=build-tsan
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRO_THREAD_SANITIZE=ON \
        -DTAMRO_BUILD_BENCH=OFF >/dev/null
    export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp second_deadlock_stack=1"
    ninja -C "$build" tests/tamro_tests
    exec ctest --test-dir "$build" --output-on-failure -j "$(nproc)" \
        -E "EndToEnd|SoundFromTheStart|LibtamroExports|NOT_BUILT"
fi

if [ "$mode" = "--sanitize" ]; then
    build=build-asan
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMRO_SANITIZE=ON \
        -DTAMRO_BUILD_BENCH=OFF >/dev/null
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # Picture-and-sound timing over a minute and under load is the optimised build's to show;
    # the shorter recordings run the same components here.
    skip=(-E "FlashesAndBeepsStayTogetherForAMinute|UnderLoad")
else
    build=build
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    skip=()
fi

ninja -C "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "${skip[@]}"
