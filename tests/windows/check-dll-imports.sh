#!/usr/bin/env bash
# Checks that the Windows package is whole: every library that kova_en.exe imports, and every
# library those import in turn (the plugins' too), is either one of the package's own files or
# a library that every 64-bit Windows has. A cross build has no windeployqt to find these, so
# a library forgotten in cmake/windows-package.cmake would show only on a user's machine.
#
#   tests/windows/check-dll-imports.sh STAGED_PROGRAM_FOLDER
set -euo pipefail

dir=$(cd "${1:?usage: $0 STAGED_PROGRAM_FOLDER}" && pwd)
objdump=${KOVA_MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}

# Windows' own libraries that the program and Qt may use, in lower case; api-ms-win-* are
# Windows' API sets, resolved by the loader itself.
declare -A system_dll=()
for dll in advapi32.dll authz.dll cfgmgr32.dll comctl32.dll comdlg32.dll d2d1.dll d3d11.dll d3d9.dll \
  dwmapi.dll dwrite.dll dxgi.dll gdi32.dll imm32.dll kernel32.dll mpr.dll msvcrt.dll netapi32.dll \
  ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll \
  user32.dll userenv.dll uxtheme.dll version.dll winmm.dll winspool.drv ws2_32.dll wtsapi32.dll; do
  system_dll[$dll]=1
done

declare -A shipped=()
while IFS= read -r f; do
  name=$(basename "$f")
  shipped[${name,,}]=$f
done < <(find "$dir" -type f \( -iname '*.dll' -o -iname '*.exe' \))
[[ -n ${shipped[kova_en.exe]:-} ]] || {
  echo "check-dll-imports: no kova_en.exe in $dir" >&2
  exit 1
}

declare -A seen=()
queue=("${!shipped[@]}")
missing=()
while [[ ${#queue[@]} -gt 0 ]]; do
  name=${queue[0]}
  queue=("${queue[@]:1}")
  [[ -n ${seen[$name]:-} ]] && continue
  seen[$name]=1
  while IFS= read -r dll; do
    dll=${dll,,}
    if [[ -n ${shipped[$dll]:-} ]]; then
      queue+=("$dll")
    elif [[ -z ${system_dll[$dll]:-} ]] && [[ $dll != api-ms-win-* ]]; then
      missing+=("$dll (imported by $name)")
    fi
  done < <("$objdump" -p "${shipped[$name]}" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')
done

if [[ ${#missing[@]} -gt 0 ]]; then
  printf 'check-dll-imports: not in the package and not part of Windows: %s\n' "${missing[@]}" >&2
  exit 1
fi
echo "check-dll-imports: ${#seen[@]} files of the package import only each other and Windows' own libraries"
