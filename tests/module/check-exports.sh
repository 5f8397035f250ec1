#!/bin/sh
# Fails unless the component library's dynamic symbol table defines exactly its entry points.
# Usage: check-exports.sh <library> <source root>
lib=$1
root=$2
got=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort | tr '\n' ' ')
want="DllCanUnloadNow DllGetClassObject "
# Self-registration's pair is expected once its source is in the tree.
if [ -f "$root/module/Registration.cpp" ]; then
  want="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
fi
if [ "$got" != "$want" ]; then
  echo "exports of $lib: '$got', expected '$want'" >&2
  exit 1
fi
echo "exports: $got"
