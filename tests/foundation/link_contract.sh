#!/bin/sh
# Checks the plug-in's link contract: it needs only the C/C++ runtime, and it
# exports get_providers and nothing else (framework, JsonCpp and Boost symbols
# come from the host process).
#
# usage: link_contract.sh PLUGIN.so [TOOL_PREFIX]
#   TOOL_PREFIX selects cross binutils, e.g. arm-linux-gnueabihf-
# Exit 0 when the contract holds, 1 when it is broken, 2 on a usage or tool error.

set -u

plugin=${1:-}
prefix=${2:-}
if [ -z "$plugin" ] || [ ! -f "$plugin" ]; then
    echo "usage: $0 PLUGIN.so [TOOL_PREFIX] (no file: '$plugin')" >&2
    exit 2
fi

readelf_out=$("${prefix}readelf" -d -W "$plugin") || { echo "${prefix}readelf failed on $plugin" >&2; exit 2; }
exports=$("${prefix}nm" -D --defined-only "$plugin") || { echo "${prefix}nm failed on $plugin" >&2; exit 2; }

broken=0

needed=$(printf '%s\n' "$readelf_out" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
for lib in $needed; do
    case "$lib" in
        libstdc++.so.*|libm.so.*|libgcc_s.so.*|libc.so.*|ld-linux*.so.*) ;;
        *) echo "$plugin: unexpected NEEDED $lib"; broken=1 ;;
    esac
done

# nm prints "VALUE TYPE NAME"; the name is the last field.
names=$(printf '%s\n' "$exports" | awk 'NF >= 2 { print $NF }')
found_entry=0
for name in $names; do
    if [ "$name" = get_providers ]; then
        found_entry=1
    else
        echo "$plugin: unexpected export $name"
        broken=1
    fi
done
if [ "$found_entry" -ne 1 ]; then
    echo "$plugin: get_providers is not exported"
    broken=1
fi

if [ "$broken" -ne 0 ]; then
    echo "$plugin: link contract broken"
    exit 1
fi
echo "$plugin: link contract holds (NEEDED: $(echo $needed))"
