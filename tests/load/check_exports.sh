#!/bin/sh
# Checks what the game's loader sees of flyrate.so.
# Usage: check_exports.sh FLYRATE_SO SANITIZED(0|1)
# Exactly Plugin_ApiVersion and Plugin_Component are defined for the loader.
# Unless the build is sanitized (the sanitizers bring their own run-time
# libraries), the only libraries needed are libc and libm, and nothing
# undefined would be looked for in libstdc++ or libgcc_s.
set -eu
so=$1
sanitized=${2:-0}
fail=0

exports=$(nm -D --defined-only "$so" | awk '{print $NF}' | sort | tr '\n' ' ')
if [ "$exports" != "Plugin_ApiVersion Plugin_Component " ]; then
    echo "exported: $exports(want Plugin_ApiVersion Plugin_Component)"
    fail=1
fi

if [ "$sanitized" = 0 ]; then
    needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
    if [ "$needed" != "libc.so.6 libm.so.6 " ]; then
        echo "needed: $needed(want libc.so.6 libm.so.6)"
        fail=1
    fi
    cxx=$(nm -D --undefined-only "$so" | awk '{print $NF}' |
        grep -E '^_Z|GLIBCXX|CXXABI|GCC_[0-9]|^_Unwind_|^__gxx_|^__cxa_(allocate|throw|begin|end|guard|pure|bad)' || true)
    if [ -n "$cxx" ]; then
        echo "undefined C++ run-time symbols:"
        echo "$cxx"
        fail=1
    fi
fi

[ "$fail" = 0 ] && echo "flyrate.so: exports and dependencies as expected"
exit "$fail"
