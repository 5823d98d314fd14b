#!/usr/bin/env bash
# The Windows half of the consumer test: installs the cross-built DLL into a
# scratch prefix and links a C program against its import library twice
# (pkg-config, find_package). The programs run where Wine can run them.
# Usage: run_win.sh BUILD_DIR CONSUMER_DIR TOOLCHAIN_FILE CMAKE CC [WINE]
# WINE is the loader for the DLL's width (default wine).
set -euo pipefail
build=$1 here=$2 toolchain=$3 cmake=$4 cc=$5 wine=${6:-wine}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log"

fail() { echo "FAIL: $*"; exit 1; }
for file in bin/ZRQAPI.dll lib/ZRQAPI.dll.a lib/ZRQAPI.lib lib/ZRQAPI.def include/zrqapi.h \
    lib/pkgconfig/zrqapi.pc lib/cmake/zrqapi/zrqapiConfig.cmake; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
done

# Every function of the header must link through the import library, under
# the name that the standard calling convention gives it.
{
    echo '#include <zrqapi.h>'
    echo 'void* const every_export[] = {'
    sed -n 's/^ZRQ_API([^)]*) *\([A-Za-z_0-9]*\)(.*/    (void*)\1,/p' "$prefix/include/zrqapi.h"
    echo '};'
    echo 'int main(void) { return every_export[0] == 0; }'
} >"$scratch/every.c"
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs zrqapi)
"$cc" "$scratch/every.c" $flags -o "$scratch/every.exe" 2>"$scratch/every.log" ||
    { cat "$scratch/every.log"; fail "not every declared function links through the import library"; }
echo "all $(grep -c '(void\*)' "$scratch/every.c") declared functions link"

"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$here/consumer.c" $flags -o "$prefix/bin/consumer-pc.exe"
echo "pkg-config: linked"

"$cmake" -S "$here" -B "$scratch/cmake-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -Dzrqapi_DIR="$prefix/lib/cmake/zrqapi" >"$scratch/configure.log" ||
    { cat "$scratch/configure.log"; fail "find_package configure failed"; }
"$cmake" --build "$scratch/cmake-build" >"$scratch/build.log" ||
    { cat "$scratch/build.log"; fail "find_package build failed"; }
cp "$scratch/cmake-build/consumer.exe" "$prefix/bin/consumer-cmake.exe"
echo "find_package: linked"

# Only a Wine that cannot start at all skips the runs; a program that fails
# under a working Wine fails the test.
if ! command -v "$wine" >/dev/null || ! "$wine" --version >/dev/null 2>&1; then
    echo "$wine cannot run programs of this width here: linked, not run"
    exit 0
fi
expected="Kap_GetApiVersion: result 0, version 2.1
Kap_TestCall(-123456789): -123456789"
for program in consumer-pc consumer-cmake; do
    output=$(cd "$prefix/bin" && WINEDEBUG=-all "$wine" "./$program.exe" </dev/null | tr -d '\r') ||
        fail "$program exited with an error: $output"
    [ "$output" = "$expected" ] || fail "$program printed: $output"
    echo "$program ran:"
    echo "$output" | sed 's/^/  /'
done
