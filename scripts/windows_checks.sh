#!/usr/bin/env bash
# Checks what the windows preset built, each failure with a line that says what is wrong:
#   - every image (build/windows/images/*.image): PE32+ for x86-64, subsystem, entry, the
#     DLL characteristics, exports, and every import against the import library it comes from;
#   - kernel images: imports only from the kernel's own modules, no constructor or TLS sections
#     in anything linked in, no hosted library header, compiler builtin or inline assembly in
#     their sources;
#   - the install files (scripts/windows_install_check.py) and the package (scripts/package.sh);
#   - a smoke run under Wine: each kernel image is registered as a kernel service in a
#     throw-away prefix, started (DriverEntry must trace and succeed) and stopped (DriverUnload);
#     test-tool kernel images (the stand-in portcls.sys) are installed beside them, not started;
#     Q407AsioSmoke.exe loads Q407Asio.dll as hosts do and sees init fail with no device;
#     Q407Pan.exe starts without a device and Q407PanTitle.exe reads "No Device" in its title.
#       bash scripts/windows_checks.sh [BUILD_DIR]     (default build/windows)
#   Q407_WINE_SMOKE=0 skips the Wine run (it is reported as skipped, not passed).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/windows}
triple=x86_64-w64-mingw32
objdump=$triple-objdump
nm=$triple-nm
dlltool=$triple-dlltool
failures=0
fail() {
  echo "windows check FAILED: $*" >&2
  failures=$((failures + 1))
}
ok() { echo "windows check ok: $*"; }

[ -d "$build/images" ] || { fail "no image descriptions in $build/images (build the windows preset first)"; exit 1; }

# Modules a kernel image may import from, whatever its description says.
kernel_modules="ntoskrnl.exe hal.dll usbd.sys portcls.sys ks.sys"
# The freestanding C++ headers kernel code may include (and their internals below bits/).
freestanding="cstddef cstdint climits cfloat limits type_traits compare concepts version initializer_list"

field() { sed -n "s/^$1=//p" "$2"; }
lower() { tr '[:upper:]' '[:lower:]'; }

# "DLL function" pairs of an image's import table.
imports_of() {
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = $3; next }
    /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { if (dll != "") print dll, $3; next }
    /^ *$/ { }'
}

# The DLL an import library names, and (cached in a file) the names it provides.
scratch=$(mktemp -d /tmp/q407-checks.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
implib_dll() { "$dlltool" -I "$1" 2>/dev/null | sed -n 1p || true; }
implib_names() {
  local cache
  cache=$scratch/$(basename "$1").names
  [ -f "$cache" ] || "$nm" -g --defined-only "$1" 2>/dev/null | sed -n 's/.* __imp_//p' | sort -u >"$cache"
  echo "$cache"
}

check_image() {
  local description=$1
  local name kind file implibs exports inputs
  name=$(field name "$description")
  kind=$(field kind "$description")
  file=$(field file "$description")
  implibs=$(field implibs "$description")
  exports=$(field exports "$description")
  inputs=$(field inputs "$description")
  if [ ! -f "$file" ]; then
    fail "$name: $file was not built"
    return
  fi
  local headers
  headers=$("$objdump" -p "$file")
  local before=$failures

  # Machine and format.
  "$objdump" -f "$file" | grep -q 'file format pei-x86-64' || fail "$name: not a PE32+ x86-64 image"
  grep -q '^Magic[[:space:]]*020b' <<<"$headers" || fail "$name: optional header is not PE32+"

  # Subsystem and entry symbol.
  local subsystem want_subsystem entry_symbols
  subsystem=$(sed -n 's/^Subsystem[[:space:]]*0*\([0-9a-f]*\).*/\1/p' <<<"$headers")
  case $kind in
    kernel) want_subsystem=1 entry_symbols="DriverEntry" ;;
    dll) want_subsystem=2 entry_symbols="DllMainCRTStartup" ;;
    gui) want_subsystem=2 entry_symbols="wWinMainCRTStartup WinMainCRTStartup" ;;
    console) want_subsystem=3 entry_symbols="wmainCRTStartup mainCRTStartup" ;;
    *) fail "$name: unknown kind $kind"; return ;;
  esac
  [ "$subsystem" = "$want_subsystem" ] ||
    fail "$name: subsystem $subsystem, expected $want_subsystem for a $kind image"
  local base entry entry_name
  base=$(sed -n 's/^ImageBase[[:space:]]*\([0-9a-f]*\)/\1/p' <<<"$headers")
  entry=$(sed -n 's/^AddressOfEntryPoint[[:space:]]*\([0-9a-f]*\)/\1/p' <<<"$headers")
  entry_name=$("$nm" "$file" 2>/dev/null | awk -v a="$(printf '%016x' $((16#$base + 16#$entry)))" \
    '$1 == a && ($2 == "T" || $2 == "t") && $3 !~ /^\./ && !n++ { print $3 }' || true)
  local entry_ok=0
  for s in $entry_symbols; do [ "$entry_name" = "$s" ] && entry_ok=1; done
  [ $entry_ok = 1 ] || fail "$name: entry point is '${entry_name:-unknown}', expected one of: $entry_symbols"

  # Security characteristics.
  local characteristics
  characteristics=$(awk '/^DllCharacteristics/ { t = 1; next } t && /^\t\t/ { print $1; next } t { exit }' \
    <<<"$headers")
  for flag in DYNAMIC_BASE NX_COMPAT HIGH_ENTROPY_VA; do
    grep -qx "$flag" <<<"$characteristics" || fail "$name: DllCharacteristics lacks $flag"
  done

  # Exports: exactly those declared (none for kernel images and programs).
  local have_exports want_exports
  have_exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next } t && /^\t\[/ { print $NF; next } t { t = 0 }' \
    <<<"$headers" | sort -u | tr '\n' ' ')
  want_exports=$(tr ',' '\n' <<<"$exports" | sed '/^$/d' | sort -u | tr '\n' ' ')
  [ "$have_exports" = "$want_exports" ] ||
    fail "$name: exports are [${have_exports% }], expected [${want_exports% }]"

  # Imports: every DLL is one of the declared import libraries' and every function is exported
  # by that import library.
  local -A provided=()
  local lib dll
  for lib in ${implibs//,/ }; do
    dll=$(implib_dll "$lib" | lower)
    [ -n "$dll" ] || continue  # a static library (uuid, ...): it brings no imports
    provided[$dll]+=" $lib"
  done
  local import_list count=0 line function found
  import_list=$(imports_of "$file")
  while read -r dll function; do
    [ -n "$dll" ] || continue
    count=$((count + 1))
    dll=$(lower <<<"$dll")
    if [ "$kind" = kernel ] && ! grep -qw "$dll" <<<"$kernel_modules"; then
      fail "$name: kernel image imports $function from $dll (allowed: $kernel_modules)"
      continue
    fi
    if [ -z "${provided[$dll]:-}" ]; then
      fail "$name: imports $function from $dll, which none of its import libraries names"
      continue
    fi
    found=0
    for lib in ${provided[$dll]}; do
      if grep -qx -- "$function" "$(implib_names "$lib")"; then found=1; fi
    done
    [ $found = 1 ] || fail "$name: $dll!$function is not in its import library (${provided[$dll]# })"
  done <<<"$import_list"
  [ $count -gt 0 ] || fail "$name: no imports at all (did the link drop everything?)"

  if [ "$kind" = kernel ]; then
    check_kernel_inputs "$name" "$file" "$inputs"
  fi
  if [ $failures = "$before" ]; then
    ok "$name ($kind): PE32+ x86-64, subsystem $subsystem, entry $entry_name, exports [${have_exports% }], $count imports"
    sed 's/^/    /' <<<"$import_list"
  fi
}

# Nothing runs constructors or TLS callbacks in a driver: no such section may be linked in, and
# the image's constructor list must be empty (its two markers only).
check_kernel_inputs() {
  local name=$1 file=$2 inputs=$3 input sections
  for input in ${inputs//,/ }; do
    [ -f "$input" ] || { fail "$name: linked input $input is missing"; continue; }
    sections=$("$objdump" -h "$input" 2>/dev/null |
      awk '$2 ~ /^(\.ctors|\.dtors|\.init_array|\.fini_array|\.tls|\.CRT\$X[CILPT])/ { print $2 }' | sort -u)
    [ -z "$sections" ] || fail "$name: $(basename "$input") has $(tr '\n' ' ' <<<"$sections")(global constructors or TLS never run in a driver)"
  done
  local ctor dtor
  ctor=$("$nm" "$file" | awk '$3 == "__CTOR_LIST__" { print $1 }')
  dtor=$("$nm" "$file" | awk '$3 == "__DTOR_LIST__" { print $1 }')
  if [ -n "$ctor" ] && [ -n "$dtor" ] && [ $((16#$dtor - 16#$ctor)) -ne 16 ]; then
    fail "$name: the image's constructor list is not empty"
  fi
}

# Kernel translation units: the project's files they compile (from the compile's dependency
# list) include no hosted library header and use no compiler builtin or inline assembly. Kit and
# compiler headers may include what they like.
check_kernel_sources() {
  local db=$build/compile_commands.json
  local libstdcxx
  libstdcxx=$(dirname "$($triple-gcc -print-libgcc-file-name)")/include/c++
  local units
  units=$(python3 -c '
import json, sys
for entry in json.load(open(sys.argv[1])):
    command = entry.get("command", "")
    if "-mno-red-zone" in command:
        print(entry["file"], command.split(" -o ", 1)[1].split()[0])
' "$db")
  local count=0 source object dep header files
  local before=$failures
  files=$scratch/kernel_files
  : >"$files"
  while read -r source object; do
    [ -n "$source" ] || continue
    count=$((count + 1))
    # Dependencies may be recorded relative to the build folder (a compiler cache does that).
    ninja -C "$build" -t deps "$object" | sed -n 's/^    //p' |
      (cd "$build" && xargs -r realpath -m --) | grep "^$PWD/" >>"$files" || true
  done <<<"$units"
  sort -u -o "$files" "$files"
  while read -r dep; do
    [ -n "$dep" ] || continue
    case ${dep#"$PWD"/} in
      platform/* | shared/* | usbdriver/* | wdmdriver/*) ;;
      windows/portcls_stub/*) ;;  # the Wine run's stand-in portcls.sys, a test tool
      "$build"/*) ;;
      *) fail "kernel code includes ${dep#"$PWD"/}, which is not a deliverable, platform/ or shared/ file" ;;
    esac
    while read -r header; do
      [ -n "$header" ] || continue
      if [ -f "$libstdcxx/$header" ] && ! grep -qw -- "$header" <<<"$freestanding"; then
        fail "kernel code ${dep#"$PWD"/} includes the hosted header <$header>"
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*<\([^>]*\)>.*/\1/p' "$dep")
    if grep -nE '__atomic_|__builtin_|__sync_|(^|[^_[:alnum:]])(__)?asm(__)?[[:space:]]*(volatile|__volatile__)?[[:space:]]*\(' \
        "$dep" >"$scratch/builtins"; then
      fail "kernel code ${dep#"$PWD"/} uses a builtin or inline assembly: line $(sed -n 1p "$scratch/builtins")"
    fi
  done <"$files"
  [ $count -gt 0 ] || fail "no kernel translation units found in $db"
  [ -s "$files" ] || fail "no project files found among the kernel translation units' dependencies"
  if [ $failures = "$before" ]; then
    ok "kernel code: $count translation units, $(wc -l <"$files") project files: freestanding headers only, no builtins or inline assembly"
  fi
}

wine_smoke() {
  if [ "${Q407_WINE_SMOKE:-1}" = 0 ]; then
    echo "windows check skipped: Wine smoke run (Q407_WINE_SMOKE=0)"
    return
  fi
  local wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver
  [ -x "$wine" ] || { fail "Wine smoke: $wine not found (scripts/setup.sh installs wine64)"; return; }
  local prefix log
  prefix=$(mktemp -d /tmp/q407-wine.XXXXXX)
  log=$prefix.log
  # Kernel services need no display; Wine's desktop process complains and carries on.
  export WINEPREFIX=$prefix WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
  if ! WINEDEBUG=-all timeout 180 "$wine" wineboot --init >"$log" 2>&1; then
    fail "Wine smoke: the prefix could not be created (see $log)"
    return
  fi
  WINEDEBUG=-all timeout 60 "$wineserver" -w || true
  local description name kind file traced entry_trace unload_trace
  # Stand-ins for the system's own drivers that Wine lacks (portcls.sys) go in first, so that the
  # loader resolves the drivers' imports; they are not started as services.
  for description in "$build"/images/*.image; do
    [ "$(field kind "$description")" = kernel ] && grep -qx 'ship=no' "$description" || continue
    file=$(field file "$description")
    cp "$file" "$prefix/drive_c/windows/system32/drivers/$(basename "$file")"
  done
  for description in "$build"/images/*.image; do
    kind=$(field kind "$description")
    [ "$kind" = kernel ] || continue
    grep -qx 'ship=no' "$description" && continue
    name=$(field name "$description")
    file=$(field file "$description")
    entry_trace=$(field entry_trace "$description")
    unload_trace=$(field unload_trace "$description")
    cp "$file" "$prefix/drive_c/windows/system32/drivers/$name.sys"
    if [ -z "$entry_trace" ] || [ -z "$unload_trace" ]; then
      fail "$name: its image description names no entry or unload trace to look for"
      continue
    fi
    # The driver's DbgPrintEx lines reach Wine's debug channel "debugstr", in the output of the
    # device host that services.exe starts, so the channel is on from the first command. A
    # service manager still starting can miss the first round on a busy machine: one more.
    local attempt
    for attempt in 1 2; do
      {
        WINEDEBUG=-all,+debugstr timeout 60 "$wine" sc create "$name" type= kernel \
          binPath= "C:\\windows\\system32\\drivers\\$name.sys"
        WINEDEBUG=-all,+debugstr timeout 60 "$wine" sc start "$name"
        sleep 1
        WINEDEBUG=-all,+debugstr timeout 60 "$wine" sc stop "$name"
        sleep 1
        WINEDEBUG=-all,+debugstr timeout 60 "$wineserver" -k
      } >>"$log" 2>&1 || true
      grep -aqF "$entry_trace" "$log" && grep -aqF "$unload_trace" "$log" && break
    done
    traced="\"$entry_trace\", \"$unload_trace\""
    if grep -aqF "$entry_trace" "$log" && grep -aqF "$unload_trace" "$log" &&
        ! grep -aq 'Unimplemented function' "$log"; then
      ok "$name: Wine loaded it as a kernel service and ran DriverEntry and DriverUnload ($traced)"
    else
      fail "$name: the Wine smoke run did not trace entry and unload (see $log):
$(grep -a -E 'debugstr|err:|Unimplemented' "$log" | tail -n 8)"
    fi
  done
  # The ASIO driver: a console host loads it as hosts do; with no device, init fails cleanly.
  local dll smoke out
  dll=$(field file "$build/images/Q407Asio.image" 2>/dev/null || true)
  smoke=$(field file "$build/images/Q407AsioSmoke.image" 2>/dev/null || true)
  if [ -n "$dll" ] && [ -n "$smoke" ] && [ -f "$dll" ] && [ -f "$smoke" ]; then
    cp "$dll" "$smoke" "$prefix/drive_c/"
    if out=$(WINEDEBUG=-all timeout 120 "$wine" 'C:\Q407AsioSmoke.exe' 'C:\Q407Asio.dll' 2>>"$log") &&
        grep -q 'init failed cleanly' <<<"$out"; then
      ok "Q407Asio: Wine loaded it through DllGetClassObject and init failed cleanly ($(tr -d '\r' <<<"$out"))"
    else
      fail "Q407Asio: the Wine smoke host failed: $(tr -d '\r' <<<"${out:-no output}") (see $log)"
    fi
  else
    fail "Q407Asio: no Q407Asio.dll and Q407AsioSmoke.exe to smoke-run"
  fi
  # The control panel: started without a device, its dialog says so in its title.
  local pan title
  pan=$(field file "$build/images/Q407Pan.image" 2>/dev/null || true)
  title=$(field file "$build/images/Q407PanTitle.image" 2>/dev/null || true)
  if [ -n "$pan" ] && [ -n "$title" ] && [ -f "$pan" ] && [ -f "$title" ]; then
    cp "$pan" "$title" "$prefix/drive_c/"
    # A wine server still running from the display-less steps above would give the panel a
    # desktop without a display driver: end it, so the panel's own starts under the screen.
    WINEDEBUG=-all timeout 60 "$wineserver" -k 2>/dev/null || true
    WINEDEBUG=-all timeout 60 "$wineserver" -w 2>/dev/null || true
    local xvfb=()
    if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
      xvfb=(xvfb-run -a -s '-screen 0 1024x768x24')
    fi
    out=$("${xvfb[@]}" sh -c "WINEDEBUG=-all timeout 60 '$wine' 'C:\\Q407Pan.exe' & \
          WINEDEBUG=-all timeout 90 '$wine' 'C:\\Q407PanTitle.exe'; wait" 2>>"$log" | tr -d '\r' || true)
    if grep -q '^title .* - No Device$' <<<"$out"; then
      ok "Q407Pan: Wine ran it without a device and its dialog shows \"${out#title }\""
    else
      fail "Q407Pan: no \"No Device\" title under Wine: ${out:-no output} (see $log)"
    fi
  else
    fail "Q407Pan: no Q407Pan.exe and Q407PanTitle.exe to smoke-run"
  fi
  WINEDEBUG=-all timeout 60 "$wineserver" -k 2>/dev/null || true
  if [ $failures = 0 ]; then rm -rf "$prefix" "$log"; fi
}

for description in "$build"/images/*.image; do
  check_image "$description"
done
check_kernel_sources
if python3 scripts/windows_install_check.py windows/install sim/device/device_descriptors.h; then
  ok "install files: sections, strings, hardware IDs and registration"
else
  fail "install files (see above)"
fi
# The shared layouts' static_asserts hold under LLP64 when their translation unit compiled.
if [ -f "$build/windows/CMakeFiles/shared_layouts_llp64.dir/shared_layouts_llp64.cpp.obj" ]; then
  ok "shared/ layouts: every static_assert holds under LLP64"
else
  fail "shared/ layouts were not compiled for LLP64"
fi
# The package: every image and install file, test-signed images, a manifest that matches.
if bash scripts/package.sh "$scratch/package" "$build" >"$scratch/package.log" 2>&1; then
  manifest_ok=1
  while read -r hash size file; do
    [ "$(sha256sum "$scratch/package/$file" | cut -d' ' -f1)" = "$hash" ] &&
      [ "$(stat -c %s "$scratch/package/$file")" = "$size" ] || manifest_ok=0
  done <"$scratch/package/MANIFEST.txt"
  listed=$(wc -l <"$scratch/package/MANIFEST.txt")
  present=$(find "$scratch/package" -type f ! -name MANIFEST.txt | wc -l)
  if [ $manifest_ok = 1 ] && [ "$listed" = "$present" ]; then
    ok "package: $listed files, images test-signed, manifest sizes and SHA-256 match"
  else
    fail "package: the manifest does not match the folder"
  fi
else
  fail "package: scripts/package.sh failed: $(tail -n 3 "$scratch/package.log")"
fi
wine_smoke

if [ $failures -ne 0 ]; then
  echo "windows checks: $failures failed" >&2
  exit 1
fi
echo "windows checks: all passed"
