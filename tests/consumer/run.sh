#!/usr/bin/env bash
# Installs the library into a scratch prefix, checks what landed there, then
# builds and runs a small C program against it twice: through pkg-config and
# through find_package. Neither build may see the source or build tree.
# Usage: run.sh BUILD_DIR CONSUMER_DIR LIBDIR TOOLS(comma list) CMAKE CC
set -euo pipefail
build=$1 here=$2 libdir=$3 tools=$4 cmake=$5 cc=$6

library=$(readlink -f "$build/libzrqapi.so")
for name in Kap_GetApiVersion Kap_TestCall; do
    if ! nm -D --defined-only "$library" | awk '{ print $3 }' | grep -x "$name" >/dev/null; then
        echo "SKIP: $name is not exported yet, so no program can link against it"
        exit 77
    fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log"

fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}
for file in include/zrqapi.h "$libdir/libzrqapi.so" "$libdir/libzrqapi.so.$major" \
    "$libdir/libzrqapi.so.$version" "$libdir/pkgconfig/zrqapi.pc" \
    "$libdir/cmake/zrqapi/zrqapiConfig.cmake" "$libdir/cmake/zrqapi/zrqapiConfigVersion.cmake" \
    "$libdir/cmake/zrqapi/zrqapiTargets.cmake"; do
    [ -e "$prefix/$file" ] || fail "$file was not installed"
done
for tool in ${tools//,/ }; do
    [ -x "$prefix/bin/$tool" ] || fail "bin/$tool was not installed"
    # An installed tool that links the library must load the installed one.
    linked=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/$tool" | awk '$1 ~ /^libzrqapi/ { print $3 }')
    if [ -n "$linked" ] && [ "$(readlink -f "$linked")" != "$(readlink -f "$prefix/$libdir/libzrqapi.so.$major")" ]; then
        fail "bin/$tool loads $linked, not the installed library"
    fi
done
if [[ ",$tools," == *,zrqctl,* ]]; then
    [ -e "$prefix/share/man/man1/zrqctl.1" ] || fail "the zrqctl manual page was not installed"
    completion="$prefix/share/bash-completion/completions/zrqctl"
    [ -e "$completion" ] || fail "the zrqctl bash completion was not installed"
    # The completion finds the installed program's commands in its --help.
    words=$(PATH="$prefix/bin:$PATH" bash -c 'source "$1"; COMP_WORDS=(zrqctl es); COMP_CWORD=1;
        _zrqctl; echo "${COMPREPLY[*]}"' _ "$completion")
    [ "$words" = "estop" ] || fail "completing 'zrqctl es' gave '$words', not estop"
    # A job's option values, and files (not commands) after job.
    complete_words() {
        PATH="$prefix/bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@");
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zrqctl; echo "${COMPREPLY[*]}"' _ "$completion" "$@"
    }
    words=$(complete_words zrqctl job a.gcode --tool "")
    [ "$words" = "pen laser mill" ] || fail "completing a job's --tool gave '$words'"
    words=$(complete_words zrqctl job a.gcode --units "")
    [ "$words" = "in mm" ] || fail "completing a job's --units gave '$words'"
    words=$(cd "$prefix/bin" && complete_words zrqctl job zrq)
    [[ " $words " == *" zrqctl "* ]] || fail "completing 'zrqctl job zrq' gave '$words', not files"
fi
soname=$(objdump -p "$prefix/$libdir/libzrqapi.so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libzrqapi.so.$major" ] || fail "SONAME is '$soname', not libzrqapi.so.$major"

minor=$(echo "$version" | cut -d. -f2)
expected="Kap_GetApiVersion: result 0, version $major.$minor
Kap_TestCall(-123456789): -123456789"

check_run() {
    local how=$1 program=$2 output
    output=$("$program") || fail "$how: the program failed: $output"
    [ "$output" = "$expected" ] || fail "$how: printed
$output
expected
$expected"
    echo "$how:"
    echo "$output" | sed 's/^/  /'
}

# 1. pkg-config, with warnings as errors: the header must be clean C.
flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs zrqapi)
case "$flags" in *"$prefix"*) ;; *) fail "pkg-config does not point into the prefix: $flags" ;; esac
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$here/consumer.c" $flags -o "$scratch/consumer-pc"
LD_LIBRARY_PATH="$prefix/$libdir" ldd "$scratch/consumer-pc" | grep "$prefix/$libdir/libzrqapi.so.$major" >/dev/null ||
    fail "pkg-config build does not load the installed library"
LD_LIBRARY_PATH="$prefix/$libdir" check_run pkg-config "$scratch/consumer-pc"

# 2. find_package.
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
"$cmake" -S "$here" -B "$scratch/cmake-build" "${generator[@]}" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/configure.log" ||
    { cat "$scratch/configure.log"; fail "find_package configure failed"; }
"$cmake" --build "$scratch/cmake-build" >"$scratch/build.log" ||
    { cat "$scratch/build.log"; fail "find_package build failed"; }
check_run find_package "$scratch/cmake-build/consumer"

# 3. The Python package, from the prefix alone, loading the library through the
# linker's usual search.
pydir=$prefix/lib/python3/dist-packages
[ -f "$pydir/zrqapi/__init__.py" ] && [ -f "$pydir/zrqapi/py.typed" ] || fail "the Python package was not installed"
[ -z "$(find "$pydir" -name __pycache__)" ] || fail "compiled Python files were installed"
if command -v python3 >/dev/null; then
    output=$(cd "$scratch" && env -u ZRQAPI_LIBRARY PYTHONPATH="$pydir" LD_LIBRARY_PATH="$prefix/$libdir" \
        python3 -m zrqapi) || fail "python3 -m zrqapi failed: $output"
    case "$output" in
    *"library API $major.$minor, loaded from $(readlink -f "$prefix/$libdir")/libzrqapi.so"*) ;;
    *) fail "python3 -m zrqapi printed: $output" ;;
    esac
    echo "python: $output"
fi
