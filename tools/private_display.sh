# Sourced by bash scripts that need an X display of their own: an Xvfb on the first free display number
# (the server picks it, so parallel runs cannot race for one) that only holders of its cookie may use.
#   start_private_display DIR   starts it; sets DISPLAY, XAUTHORITY and PRIVATE_DISPLAY_PID; returns 1 on failure.
#                               The screen is also kept as an image file, PRIVATE_DISPLAY_FRAMEBUFFER, which
#                               tools/xvfb_picture.py turns into a PNG (pictures of programs that cannot take their own)
#   stop_private_display        stops it again (also safe when none was started)

start_private_display() {
  local dir=$1
  local auth=$dir/Xauthority number_file=$dir/display-number
  : >"$auth"
  : >"$number_file"
  xauth -q -f "$auth" add :0 . "$(mcookie)"  # the server takes the cookie whatever display it ends up on
  Xvfb -displayfd 3 -auth "$auth" -screen 0 1024x768x24 -fbdir "$dir" -nolisten tcp 3>"$number_file" >"$dir/xvfb.log" 2>&1 &
  PRIVATE_DISPLAY_PID=$!
  local tries=0
  until grep -q '^[0-9]' "$number_file"; do
    if ! kill -0 "$PRIVATE_DISPLAY_PID" 2>/dev/null || [ $((tries += 1)) -gt 100 ]; then
      echo "Xvfb did not start:" >&2
      cat "$dir/xvfb.log" >&2
      return 1
    fi
    sleep 0.1
  done
  local number
  number=$(head -n 1 "$number_file")
  xauth -q -f "$auth" add ":$number" . "$(xauth -f "$auth" list | awk 'NR == 1 { print $3 }')"
  export DISPLAY=":$number" XAUTHORITY=$auth PRIVATE_DISPLAY_FRAMEBUFFER=$dir/Xvfb_screen0
}

stop_private_display() {
  [ -n "${PRIVATE_DISPLAY_PID:-}" ] || return 0
  kill "$PRIVATE_DISPLAY_PID" 2>/dev/null || true
  wait "$PRIVATE_DISPLAY_PID" 2>/dev/null || true
  PRIVATE_DISPLAY_PID=
}
