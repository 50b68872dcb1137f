#!/usr/bin/env bash
# The schedule in the real program on the real wall-clock alarm, under Xvfb and offscreen, on a
# session bus of the test's own: a wrong line named and the window at work; an edit read, listed
# and its event selecting its box, from "horario"; azar's draws kept over a restart. No minute is
# waited for: the house's clock is a few seconds ahead of UTC (a POSIX TZ with seconds).
# Usage: e2e_schedule.sh path/to/tenvalia path/to/tenvaliactl
set -euo pipefail
[ -n "${TENVALIA_TEST_BUS:-}" ] || TENVALIA_TEST_BUS=1 exec dbus-run-session -- "$0" "$@" 2> >(grep -v 'fd limit' >&2)
app=$(realpath "$1") ctl=$(realpath "$2")
. "$(dirname "$0")/traced_window.sh"
trap 'kill $app_pid $watch_pid $xvfb_pid 2>/dev/null || true; wait 2>/dev/null; rm -rf "$work"' EXIT
watch_pid=""
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
conf="$work/config/tenvalia/horario.conf"
mkdir -p "$(dirname "$conf")"

fail() { echo "FAIL: $*"; for f in trace stderr watch; do echo "--- $f:"; cat "$work/$f" 2>/dev/null || true; done; exit 1; }
said() { [ "$2" = "$3" ] || fail "$1: expected «$2», got «$3»"; }
# Blocks until FILE holds COUNT lines with TEXT, following it as it grows; 90 s at most.
await() { # FILE TEXT [COUNT]
  local status=0 in follower
  exec {in}< <(exec timeout 90 tail -n +1 -f "$1" 2>/dev/null)
  follower=$!
  grep -m "${3:-1}" -qF -- "$2" <&"$in" || status=$?
  exec {in}<&-
  kill "$follower" 2>/dev/null || true
  return $status
}
save() { printf '%s\n' "$@" >"$conf.new"; chmod 600 "$conf.new"; mv "$conf.new" "$conf"; } # LINES...: renamed over it, as editors save
start() { # PLATFORM [PORT]
  local display=()
  [ "$1" = xcb ] || display=(-u DISPLAY)
  rm -f "$work/trace"
  env "${display[@]}" QT_QPA_PLATFORM="$1" TZ="$tz" TENVALIA_PORT="${2:-sim:$work/trace}" "$app" >/dev/null 2>"$work/stderr" &
  app_pid=$!
  for _ in $(seq 200); do "$ctl" status >/dev/null 2>&1 && return 0; sleep 0.05; done
  fail "no Tenvalia on the bus"
}
schedule_on() { gdbus call --session -d org.tenvalia.Tenvalia -o /org/tenvalia/Tenvalia -m org.freedesktop.DBus.Properties.Get org.tenvalia.Tenvalia1 ScheduleOn; }
days=(lun mar mié jue vie sáb dom)
# An instant as tenvaliactl horario shows it, by the house's clock.
shown() { echo "${days[$(TZ="$tz" date -d "@$1" +%u) - 1]} $(TZ="$tz" date -d "@$1" '+%d/%m %H:%M')"; }
later() { TZ="$tz" date -d "@$(($1 + $2 * 3600))" +%H:%M; } # INSTANT HOURS
schedule() { # INSTANT: the test's event then, and an evening's that cannot fall near it
  save "latitud = 0" "longitud = $longitude" "$(later "$1" 0) todos cocina" "al_iniciar = ultimo" \
    "atardecer+15 todos \"Exterior Casa\"   # el porche" "$(later "$1" 6) lun-vie apagadas" \
    "$(later "$1" 9) todos sala azar 90" "$(later "$1" 15) todos patio azar 30"
}
# On the equator the sun sets within 20 minutes of 18:00 by the sun: where it sets 12 hours
# from now, sunset's events stay far from the test's.
longitude=$(awk -v now="$(date +%s)" 'BEGIN { d = (18 - (now % 86400) / 3600 - 12) * 15; while (d < -180) d += 360; while (d >= 180) d -= 360; printf "%.2f", d }')

for platform in xcb offscreen; do
  # The house's next whole minute, 6 s from now: its clock 0 to 59 s ahead of UTC.
  ahead=$(((60 - ($(date +%s) + 6) % 60) % 60))
  tz=$(printf '<TST>-00:00:%02d' "$ahead")
  save "latitud = 0" "longitud = $longitude" "19:75 todos cocina"
  [ "$platform" = offscreen ] || [ -n "$xvfb_pid" ] || start_xvfb "$work"
  start "$platform"

  # A wrong line: named, the schedule off, the window at work all the same.
  refused="horario: $conf:3: «19:75»: los minutos van de 00 a 59; el horario queda apagado"
  await "$work/stderr" "$refused" || fail "$platform: the wrong line was not named"
  said "$platform: standard error" "tenvalia: $refused" "$(cat "$work/stderr")"
  status=0
  out=$("$ctl" horario 2>&1) || status=$?
  said "$platform: tenvaliactl horario while off" "1 tenvaliactl: ${refused#horario: }" "$status $out"
  said "$platform: ScheduleOn while off" "(<false>,)" "$(schedule_on)"
  if [ "$platform" = xcb ]; then
    window=$(wait_for_window) || fail "no window"
    client_top=$(client_top "$window" "$work")
    [ -n "$client_top" ] || fail "no light-blue client area in the window"
    xdotool mousemove --window "$window" 79 "$((client_top + 67))" click 1 # Baño
  else
    "$ctl" click bano >/dev/null
  fi
  await "$work/trace" "0x0378 0x0001" || fail "$platform: the window did not switch Baño with the schedule off"

  "$ctl" watch >"$work/watch" 2>&1 &
  watch_pid=$!
  await "$work/watch" "estado: " || fail "tenvaliactl watch did not start"
  # The edit, with the event at the house's next minute at least 2 s away: listed first, it was
  # read while the minute was still to come. A machine too slow for that gets the next minute.
  for try in 1 2 3; do
    at=$(( ($(date +%s) + 2 + ahead + 59) / 60 * 60 - ahead ))
    minute=$(later "$at" 0)
    schedule "$at"
    await "$work/stderr" "horario: $conf leído de nuevo: 5 eventos" "$try" || fail "$platform: the edit was not read"
    listing=$("$ctl" horario) || fail "$platform: tenvaliactl horario: exit $?"
    [ "$(sed -n 2p <<<"$listing")" != "$(shown "$at")  cocina             línea 3: $minute todos cocina" ] || break
    ! grep -qF ', desde horario' "$work/watch" || break # in time, and done before the listing was asked for
    [ "$try" -lt 3 ] || fail "$platform: $minute was never listed ahead: $listing"
  done
  said "$platform: the listing's head" "horario: $conf" "$(head -n 1 <<<"$listing")"
  said "$platform: ScheduleOn" "(<true>,)" "$(schedule_on)"
  grep -qE '^... ../.. ..:..  exterior_casa      línea 5: atardecer\+15 todos "Exterior Casa"$' <<<"$listing" ||
    fail "$platform: no sunset in the listing: $listing"
  [ "$(grep -c 'línea 5: ' <<<"$listing")" -eq 2 ] || fail "$platform: not two sunsets in 48 hours: $listing"

  # The minute comes: the alarm rings, the window selects Cocina with one click, told as from
  # the schedule.
  await "$work/watch" "clic: cocina marcada, valor 0x02, líneas D7..D0 00000010, desde horario" ||
    fail "$platform: no click from the schedule at $minute"
  said "$platform: the trace" "$(printf '0x0378 %s\n' 0x0000 0x0001 0x0002)" "$(cat "$work/trace")"
  grep -qxF "tenvalia: horario: $minute (línea 3): cocina" "$work/stderr" || fail "$platform: the event was not said"
  grep -qx 'marcadas: bano cocina' <<<"$("$ctl" status)" || fail "$platform: the window's boxes: $("$ctl" status)"
  kill "$watch_pid"; wait "$watch_pid" 2>/dev/null || true; watch_pid=""
  echo "e2e_schedule ($platform): a wrong line named and the window at work; the edit read, listed, and its minute selected Cocina, from horario"

  if [ "$platform" = offscreen ]; then
    # A restart on the same day draws the same: azar's seed is the machine's.
    before=$("$ctl" horario | grep ' azar ' || true)
    sigterm
    # Restarted on an output that cannot be had: al_iniciar selects Cocina, and says it could not.
    start offscreen "sim:$work/no-such-folder/trace"
    after=$("$ctl" horario | grep ' azar ' || true)
    for line in 7 8; do
      last=$(grep "línea $line: " <<<"$before" | tail -n 1) # still ahead after the restart
      [ -n "$last" ] && grep -qxF "$last" <<<"$after" || fail "line $line drew another time after a restart: $before / $after"
    done
    await "$work/stderr" "(línea 3): cocina no se hizo: la salida pedida no está disponible" ||
      fail "a selection that could not be done was not said"
    echo "e2e_schedule: a restart kept the day's draws; a selection not done was said with its line"
  fi
  sigterm
done
