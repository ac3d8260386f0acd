#!/usr/bin/env bash
# Installs the library's development files into a scratch prefix and moves that tree elsewhere, then
# builds and runs a program against it, once through the CMake package and once through pkg-config
# (with no --define-variable: kiv.pc must find its own prefix).
set -euo pipefail
build="$1"; san="${2:-}"; source_dir="$(cd "$(dirname "$0")" && pwd)"
work="$build/consumer-check"; rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/staged" --component dev >/dev/null
mv "$work/staged" "$work/moved"; prefix="$work/moved"
flags=""; [ -n "$san" ] && flags="-fsanitize=$san"
cmake -S "$source_dir" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
pc="$(find "$prefix" -name kiv.pc)"
[ -n "$pc" ] || { echo "no kiv.pc under $prefix"; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc")"
case "$(pkg-config --variable=includedir kiv)" in
  "$prefix"/*) ;;
  *) echo "kiv.pc points outside the installed tree: $(pkg-config --variable=includedir kiv)"; exit 1 ;;
esac
# shellcheck disable=SC2046,SC2086
c++ -std=c++20 $flags "$source_dir/main.cpp" -o "$work/pc-consumer" $(pkg-config --cflags --libs --static kiv)
"$work/pc-consumer"
