#!/usr/bin/env bash
# Compiles every C++ source of the extension for 64-bit Windows and for macOS
# on arm64, without linking, with the cross compiler of the ziglang
# package, against this interpreter's headers and pybind11's: what builds here
# must also build there, without a warning. Windows gets a pyconfig.h of its
# own (tools/cross/windows); macOS, LP64 as Linux is, takes this interpreter's.
# Needs `python3 -m pip install ziglang pybind11`. Names each source that
# fails, with the compiler's words, and then ends with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=$(python3 -c 'import sys; print(sys.executable)')
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
pybind11=$("$python" -c 'import pybind11; print(pybind11.get_include())')

# Python.h looks for pyconfig.h beside itself first: the Windows check reads
# the interpreter's headers from a directory that holds all of them but that one.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/headers"
for header in "$include"/*; do
  [ "${header##*/}" = pyconfig.h ] || ln -s "$header" "$work/headers/"
done

export python root include pybind11 work

check() {
  local target=$1 source=$2 flags out
  case $target in
    windows) flags="-target x86_64-windows-gnu -isystem $root/tools/cross/windows -isystem $work/headers" ;;
    macos) flags="-target aarch64-macos -isystem $include" ;;
  esac
  # Objects, thrown away with the work directory: zig's -fsyntax-only fails on
  # the object it was told not to write.
  if ! out=$("$python" -m ziglang c++ -std=c++17 -g0 -c -o "$work/$target-${source//\//_}.o" \
    -Wall -Wextra -Werror -I"$root" -isystem "$pybind11" $flags "$source" 2>&1); then
    printf '%s: %s does not compile\n%s\n' "$target" "$source" "$out"
    return 1
  fi
}
export -f check

for target in windows macos; do
  find module mew -name '*.cpp' | sort | sed "s/^/$target /"
done | xargs -P "${ZUL_MEW_JOBS:-2}" -n 2 bash -c 'check "$@"' _
