#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a program against it,
# once through the CMake package and once through pkg-config.
set -euo pipefail
build="$1"; san="${2:-}"; source_dir="$(cd "$(dirname "$0")" && pwd)"
work="$build/consumer-check"; rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
flags=""; [ -n "$san" ] && flags="-fsanitize=$san"
cmake -S "$source_dir" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$work/prefix/lib/x86_64-linux-gnu/pkgconfig"
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 $flags "$source_dir/main.cpp" -o "$work/pc-consumer" $(pkg-config --define-variable=prefix="$work/prefix" --cflags --libs --static kiv)
"$work/pc-consumer"
