#!/usr/bin/env bash
# Catches a module that exports more or other names than its four entry points (a decorated or
# stray dllexport name) or that needs a mingw runtime DLL the platform does not have.
# Argument: the path of ovts.ax.
set -u
module=$1
dump=$(x86_64-w64-mingw32-objdump -p "$module") || { echo "FAIL: cannot read $module"; exit 1; }
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[ *[0-9]+\]/ {print $NF}' | sort | tr '\n' ' ')
expected="DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
[ "$exports" = "$expected" ] || { echo "FAIL: exports are '$exports', not '$expected'"; exit 1; }
runtime=$(echo "$dump" | awk '/DLL Name:/ {print $3}' | grep -iE 'libstdc|libgcc|libwinpthread|mingw' || true)
[ -z "$runtime" ] || { echo "FAIL: needs runtime DLLs: $runtime"; exit 1; }
echo "exports: $exports"
echo "imports: $(echo "$dump" | awk '/DLL Name:/ {print $3}' | tr '\n' ' ')"
