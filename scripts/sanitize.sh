#!/usr/bin/env bash
# Sanitizer and fuzzing stages: the whole suite under AddressSanitizer + UndefinedBehavior-
# Sanitizer, the engine (where the threads are) under ThreadSanitizer, and every fuzz target for
# a bounded time under libFuzzer (clang).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
bash scripts/install-deps.sh --test

export QT_QPA_PLATFORM=offscreen
STAGES=${STAGES:-"asan tsan fuzz"}

for stage in $STAGES; do
  case $stage in
    asan)
      cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVARO_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
        -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
      cmake --build build-asan -j"$(nproc)"
      ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-asan --output-on-failure -j2 --timeout 600 -LE slow </dev/null
      ;;
    tsan)
      cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVARO_ENGINE_ONLY=ON -DKELVARO_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="-O1 -fsanitize=thread" >/dev/null
      cmake --build build-tsan -j"$(nproc)"
      TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 --timeout 600 -LE slow </dev/null
      ;;
    fuzz)
      CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVARO_ENGINE_ONLY=ON \
        -DKELVARO_BENCH=OFF -DKELVARO_FUZZ=ON >/dev/null
      cmake --build build-fuzz -j"$(nproc)"
      ctest --test-dir build-fuzz --output-on-failure -j2 --timeout 600 -L fuzz </dev/null
      ;;
  esac
done
