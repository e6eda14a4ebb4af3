#!/bin/sh
# What the game's loader sees of flyrate.so (argument 1): exactly
# Plugin_ApiVersion and Plugin_Component defined; unless the build is
# sanitized (argument 2 is 1: the sanitizers bring run-time libraries of
# their own), only libc and libm needed, and nothing looked for in libstdc++
# or libgcc_s.
set -eu
exports=$(nm -D --defined-only "$1" | awk '{print $NF}' | sort | tr '\n' ' ')
[ "$exports" = "Plugin_ApiVersion Plugin_Component " ] || { echo "exported: $exports"; exit 1; }
[ "${2:-0}" = 1 ] && exit 0
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 libm.so.6 " ] || { echo "needed: $needed"; exit 1; }
cxx=$(nm -D --undefined-only "$1" | awk '{print $NF}' |
    grep -E '^_Z|GLIBCXX|CXXABI|GCC_[0-9]|^_Unwind_|^__gxx_|^__cxa_(allocate|throw|begin|end|guard|pure|bad)' || true)
[ -z "$cxx" ] || { echo "undefined C++ run-time symbols: $cxx"; exit 1; }
echo "flyrate.so: exports and dependencies as expected"
