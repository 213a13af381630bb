#!/bin/sh
# Prints "VERSION PATH" for each CPython VERSION given that runs here, in the
# order given: pyenv's interpreter when pyenv has the version, else
# pythonVERSION on the PATH. A pyenv shim for a version that the directory
# does not select is on the PATH but fails, so every candidate is run once.
for version in "$@"; do
  found=
  prefix=$(pyenv prefix "$version" 2>/dev/null) &&
    [ -x "$prefix/bin/python$version" ] && found=$prefix/bin/python$version
  if [ -z "$found" ] && command -v "python$version" >/dev/null 2>&1; then
    found=$(command -v "python$version")
  fi
  if [ -n "$found" ] && "$found" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$version'.split('.')))" >/dev/null 2>&1; then
    echo "$version $found"
  fi
done
