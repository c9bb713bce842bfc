#!/usr/bin/env bash
# Usage: check_allocations.sh OBJECT...
# Fails when an object other than the memory module references an allocator directly, or
# uses a standard container with the default allocator (std::string and its streams are
# instantiated inside libstdc++, so their calls to operator new do not show in the object);
# or when the memory module itself references no allocator (the check would see nothing).
set -euo pipefail

forbidden='^(malloc|calloc|realloc|reallocarray|free|strdup|strndup|posix_memalign|aligned_alloc|memalign|valloc|pvalloc|_Znw[a-zA-Z_0-9]*|_Zna[a-zA-Z_0-9]*|_Zdl[a-zA-Z_0-9]*|_Zda[a-zA-Z_0-9]*)$'
status=0
checked=0
for object in "$@"; do
  refs=$( {
    nm -u --format=just-symbols "$object" | sed 's/@.*//' | grep -E "$forbidden"
    nm -u -C --format=just-symbols "$object" | grep -F 'std::allocator<'
  } || true)
  if [[ $(basename "$object") == memory.* ]]; then
    if [[ -z "$refs" ]]; then
      echo "FAIL: $object references no allocator; the check cannot see allocations" >&2
      status=1
    fi
    continue
  fi
  checked=$((checked + 1))
  if [[ -n "$refs" ]]; then
    echo "FAIL: $object calls the allocator directly:" $refs >&2
    status=1
  fi
done
if [[ $checked -eq 0 ]]; then
  echo "FAIL: no objects to check" >&2
  status=1
fi
[[ $status -eq 0 ]] && echo "allocation discipline: $checked objects clean"
exit $status
