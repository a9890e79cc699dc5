#!/usr/bin/env bash
# Runs every test of orvala: the C++ core tests, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, short fuzz runs when a
# clang with libFuzzer is present, and pytest against the installed module.
# Installs what is missing first. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${ORVALA_JOBS:-2}

step() { printf '\n== %s ==\n' "$*"; }

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_install() {
  if [ "$apt_updated" = 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

step "dependencies"
[ -f /usr/include/gtest/gtest.h ] || apt_install libgtest-dev
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja pytest hypothesis

step "install the module"
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .

step "C++ core tests"
cmake -S . -B build/cpp -G Ninja -DORVALA_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/cpp -j "$jobs" >/dev/null
(cd build/cpp && ctest --output-on-failure)

step "C++ core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DORVALA_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DORVALA_SANITIZE=address,undefined >/dev/null
ninja -C build/asan -j "$jobs" >/dev/null
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure)

step "fuzz targets (short runs over the seed corpora)"
fuzz_cxx=""
for c in clang++-19 clang++-22 clang++; do
  if command -v "$c" >/dev/null 2>&1; then fuzz_cxx=$c; break; fi
done
if [ -n "$fuzz_cxx" ] && ls tests/fuzz/fuzz_*.cc >/dev/null 2>&1; then
  if CXX=$fuzz_cxx cmake -S . -B build/fuzz -G Ninja -DORVALA_FUZZ=ON \
       -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null 2>&1 \
     && ninja -C build/fuzz -j "$jobs" >/dev/null; then
    for src in tests/fuzz/fuzz_*.cc; do
      name=$(basename "$src" .cc)
      work=$(mktemp -d)
      seeds=tests/fuzz/corpus/$name
      [ -d "$seeds" ] || seeds=""
      echo "$name"
      "build/fuzz/tests/fuzz/$name" -max_total_time="${ORVALA_FUZZ_SECONDS:-5}" \
        -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=0 \
        "$work" $seeds >"$work.log" 2>&1 || { tail -40 "$work.log"; exit 1; }
      rm -rf "$work" "$work.log"
    done
  else
    echo "fuzz build failed with $fuzz_cxx"; exit 1
  fi
else
  echo "no clang with libFuzzer: fuzz targets not built"
fi

step "Python tests"
set +e
python3 -m pytest -q tests/python
status=$?
set -e
if [ "$status" = 5 ]; then echo "pytest collected no tests"; exit 1; fi
exit "$status"
