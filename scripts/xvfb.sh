# Sourced by the scripts that show the window on a private X server.

# Starts Xvfb on a free display, keeping its number in DIR; exports DISPLAY, sets xvfb_pid.
# Without -noreset the server starts over whenever its last client leaves, and resets whoever
# connects meanwhile: one program after another would now and then find no server.
start_xvfb() { # DIR
  command -v Xvfb >/dev/null ||
    { echo "Xvfb is not installed (Debian package xvfb): bash scripts/deps.sh picture installs it" >&2; return 1; }
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$1/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 300); do [ -s "$1/display" ] && break; sleep 0.1; done
  [ -s "$1/display" ] || { echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(cat "$1/display")"
}

# Prints the id of the Tenvalia window once it is mapped; fails after 30 s (a busy machine,
# a sanitized build).
wait_for_window() {
  timeout 30 xdotool search --sync --onlyvisible --limit 1 --name '^Tenvalia$'
}

# Prints the y of the first row of the window's light-blue client area, under its menu bar: where
# its boxes' coordinates start. DIR holds the picture taken.
client_top() { # WINDOW DIR
  import -window "$1" "$2/window.png"
  convert "$2/window.png" -crop 1x120+2+0 +repage txt:- |
    awk -F'[:, ]+' '/#859CFA/ && top == "" { top = $2 } END { print top }'
}
