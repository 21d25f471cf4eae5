#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds examples/c_demo.c against the
# installed files only, as a user would: once with pkg-config, once with find_package(tavro).
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
cmake_tool=$1 build=$2 source=$3 cc=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/tavro_install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
"$cmake_tool" --install "$build" --prefix "$prefix" >"$work/install.log"

pc=$(find "$prefix" -name tavro.pc)
[ -n "$pc" ] || { echo "tavro.pc not installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
cmp "$source/include/tavro.h" "$prefix/include/tavro.h"

# pkg-config: the flags must point into the installed prefix, not the source or build tree.
export PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs tavro)
case $flags in *"$source"* | *"$build"*) echo "pkg-config flags leave the prefix: $flags"; exit 1 ;; esac
[ "$(cd "$(pkg-config --variable=libdir tavro)" && pwd -P)" = "$(cd "$libdir" && pwd -P)" ]
# shellcheck disable=SC2086  # the flags are meant to split
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic "$source/examples/c_demo.c" $flags -o "$work/demo_pc"
LD_LIBRARY_PATH=$libdir "$work/demo_pc" >"$work/out_pc"

# A CMake project that finds the installed package.
mkdir -p "$work/consumer"
cp "$source/examples/c_demo.c" "$work/consumer/"
cat >"$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(tavro 0.3 REQUIRED)
add_executable(c_demo c_demo.c)
target_link_libraries(c_demo PRIVATE tavro::tavro)
CM
"$cmake_tool" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >"$work/consumer.log"
"$cmake_tool" --build "$work/consumer/build" >>"$work/consumer.log"
LD_LIBRARY_PATH=$libdir "$work/consumer/build/c_demo" >"$work/out_cmake"

# Both builds run the same program against the same library.
cmp "$work/out_pc" "$work/out_cmake"
grep -qx 'tavro_sv_get(4) -> code -6: invalid basis-state index: index 4 >= 2^2' "$work/out_pc"
grep -qx '  |101>  +1.000000 +0.000000i' "$work/out_pc"
# The circuit part: measurement and sampling codes and messages through the installed library.
grep -qx 'tavro_sv_measure_qubit(3) -> code -3: qubit index 3 out of bounds for state vector with 3 qubits' "$work/out_pc"
grep -qx 'tavro_sv_sample_bitstring(empty) -> code -9: degenerate state: squared norm 0.000e0 is too small to sample from' "$work/out_pc"
[ "$(grep -cE '^  \|(000|111)>  [0-9]+ of 1000 shots$' "$work/out_pc")" = 2 ]
echo "installed tree builds c_demo with pkg-config and with find_package"
