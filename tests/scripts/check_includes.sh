#!/usr/bin/env bash
# scripts/check-includes on a small tree of its own: a clean tree passes; an include against an
# arrow (the core reaching up to the filter), a host reaching past tools/common into the
# framework, and an include that names nothing are each reported with file and line, and fail.
# Catches a check that lets a violation through or blames the wrong line.
# Argument: the source tree.
set -u
check=$1/scripts/check-includes
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

put() {  # put FILE LINES...: writes a source file of the tree
  mkdir -p "$tree/$(dirname "$1")"
  local file=$1
  shift
  printf '%s\n' "$@" >"$tree/$file"
}

expect() {  # expect NAME STATUS PATTERN: runs the check and judges its status and output
  local out rc
  out=$("$check" --root "$tree" 2>&1)
  rc=$?
  if [ "$rc" -ne "$2" ] || ! grep -qE "$3" <<<"$out"; then
    echo "FAIL: $1: exit $rc, expected $2 and /$3/:"
    sed 's/^/  /' <<<"$out"
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}

put platform/Platform.h '#pragma once' '#include <cstdint>'
put buffer/Ring.h '#pragma once' '#include "platform/Platform.h"'
put framework/ComKit.h '#pragma once'
put framework/Filter.h '#pragma once' '#include "buffer/Ring.h"' '#include "framework/ComKit.h"'
put include/OVTimeShift.h '#pragma once'
put tools/common/Sink.h '#pragma once' '#include "framework/Filter.h"'
put tools/tshift/Main.cc '#include "include/OVTimeShift.h"' '#include "framework/ComKit.h"' '#include "tools/common/Sink.h"' \
  '#include "Local.h"'
put tools/tshift/Local.h '#pragma once'
put tests/tools/PagesPerson.cc '#include "pages/resource.h"'
put pages/resource.h '#define IDC_X 1'
expect "a tree that keeps its arrows" 0 '^$'

put filter/CTSFilter.h '#pragma once'
put buffer/Bad.cc '#include <string>' '' '#include "filter/CTSFilter.h"'
expect "the core including the filter" 1 '^buffer/Bad\.cc:3: buffer may not include filter/CTSFilter\.h$'
rm "$tree/buffer/Bad.cc"

put tools/tshift/Sink.cc '#include "framework/Filter.h"'
expect "a host past tools/common" 1 '^tools/tshift/Sink\.cc:1: tools/tshift may not include framework/Filter\.h$'
rm "$tree/tools/tshift/Sink.cc"

put tests/tools/Other.cc '#include "pages/resource.h"'
expect "an exception for one file only" 1 '^tests/tools/Other\.cc:1: tests/tools may not include pages/resource\.h$'
rm "$tree/tests/tools/Other.cc"

put util/Text.cc '#include "util/Missing.h"'
expect "an include that names nothing" 1 '^util/Text\.cc:1: cannot find "util/Missing\.h"$'

[ "$failures" -eq 0 ] || { echo "FAIL: $failures cases"; exit 1; }
