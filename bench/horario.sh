# Sourced by the benchmarks: a schedule in $XDG_CONFIG_HOME/tenvalia/horario.conf like a house's,
# whose events fall hours from now (a sunset aside), so that none rings while a figure is taken.
mkdir -p "$XDG_CONFIG_HOME/tenvalia"
hence() { date -d "+$1 hours" +%H:%M; }
printf '%s\n' "latitud = 40.42" "longitud = -3.70" \
  'atardecer+15 todos "Exterior Casa"' "$(hence 3) lun-vie apagadas" "$(hence 5) todos sala azar 30" \
  "$(hence 7) todos apagadas" >"$XDG_CONFIG_HOME/tenvalia/horario.conf"
chmod 600 "$XDG_CONFIG_HOME/tenvalia/horario.conf"
