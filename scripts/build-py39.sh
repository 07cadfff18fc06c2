#!/bin/sh
# Builds the module a second time, for pyenv's CPython 3.9, into build/py39.
# The tests use it to show that a module refuses an interpreter it was not
# built for, and that the 3.9 build imports and runs under 3.9.
set -eu
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
py39=$(ls -d "$root"/versions/3.9*/bin/python3.9 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$py39" ]; then
    echo "build-py39: no CPython 3.9 under $root; the cross-version tests will be skipped" >&2
    exit 0
fi
rm -rf build/py39
"$py39" -m pip install -q --disable-pip-version-check --target build/py39 . 2>&1 \
    | grep -v "is ignored: it is neither a file nor a directory" || true
ls build/py39/corvane/_engine*.so >/dev/null
echo "build-py39: built with $py39"
