#!/usr/bin/env bash
# How the compiler flags decide the speed of std::mt19937, which every run of the engine
# draws from. At -O2 or -O3 without a newer -march, GCC compiles the twist to a branch that
# mispredicts half the time; -ftree-loop-if-convert (used for the core library) removes it
# while keeping the baseline x86-64 target. The -march lines are for comparison only: the
# module is never built for a particular processor.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for flags in "-O2" "-O3" "-O2 -ftree-loop-if-convert" "-O3 -ftree-loop-if-convert" \
             "-O3 -march=x86-64-v2" "-O3 -march=x86-64-v3"; do
  # shellcheck disable=SC2086
  g++ -std=c++20 $flags "$here/mt19937_flags.cpp" -o "$out/rng"
  best=""
  for _ in 1 2 3 4 5; do
    best+="$("$out/rng" | cut -d' ' -f1)"$'\n'
  done
  median=$(printf '%s' "$best" | sort -n | sed -n 3p)
  printf '%-30s %6s ns per output (median of 5)\n' "$flags" "$median"
done
