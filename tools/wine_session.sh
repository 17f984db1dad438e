# Sourced by the scripts that run the Windows program under Wine: a 64-bit Wine prefix of their own, ready for
# windows that are opened and closed on a display without a window manager, trusting one CA.
#   wine_prefix_start DIR CA.pem IMPORT_TOOL.exe   makes the prefix in DIR and exports WINEPREFIX and friends
#   wine_temp_folder                               the Unix path of the prefix's %TEMP%
#   wine_temp_folder_windows                       the same as the Windows programs see it
#   wine_prefix_stop                               ends every Wine process of the prefix
# Only 64-bit Wine is used: the 32-bit half needs a host that runs 32-bit Linux programs, which not all do.
wine=(/usr/lib/wine/wine64)
wineserver=/usr/lib/wine/wineserver64

wine_prefix_start() {
  local dir=$1 ca=$2 import_tool=$3
  export WINEPREFIX=$dir WINEARCH=win64 WINEDEBUG=-all
  # No Mono or Gecko: their installers would want the network, and nothing here needs them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  # Its exit status says little (a busy host can fail a helper it starts); the prefix's registry says more.
  timeout 300 "${wine[@]}" wineboot --init >"$dir.log" 2>&1 || true
  "$wineserver" -w
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot made no prefix:" >&2; cat "$dir.log" >&2; return 1; }
  # Without a window manager a managed window cannot be closed or focused reliably: Wine manages its own.
  "${wine[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 ||
    { echo "cannot set Managed=N" >&2; return 1; }
  "${wine[@]}" "$import_tool" <"$ca" || { echo "cannot import the CA into the Wine prefix" >&2; return 1; }
  # The registry reaches the disk when the server ends; later processes start a fresh one that reads it.
  "$wineserver" -w
}

wine_temp_folder_windows() { "${wine[@]}" cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r'; }
wine_temp_folder() { "${wine[@]}" winepath -u "$(wine_temp_folder_windows)" 2>/dev/null | sed 's:/$::'; }

wine_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  "$wineserver" -k >/dev/null 2>&1 || true
}
