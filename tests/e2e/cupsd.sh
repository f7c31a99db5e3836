# shellcheck shell=sh disable=SC2154 # base and port are the caller's
# Sourced by the tests that run a private CUPS scheduler, never the
# machine's own: its configuration, spool, logs and state under $base, a
# local socket and, when $port is set, a loopback port.
#
# start_cupsd SERVERBIN DATADIR [CUPS_FILES_LINES]: writes the
# configuration (the extra lines go into cups-files.conf), starts cupsd in
# the foreground as our child ($cupsd_pid), exports CUPS_SERVER and waits
# until it answers; 1 with its log's tail when it does not.
# stop_pid PID: SIGTERM to a child we started, SIGKILL after 10 s.
# cups_tree SERVERBIN DATADIR FILTER PLUGIN PPD...: $base/serverbin with
# CUPS' own filters, backends and daemons and our filter and plug-in, and
# $base/data with CUPS' own data and the PPDs under model/rastertopwg2, laid
# out as the install puts them (lpadmin -m takes a model only from the
# scheduler's driver list).

cups_tree() {
  _sysbin=$1 _sysdata=$2 _filter=$3 _plugin=$4
  shift 4
  for _d in filter backend daemon; do
    mkdir -p "$base/serverbin/$_d"
    for _f in "$_sysbin/$_d"/*; do [ -e "$_f" ] && ln -s "$_f" "$base/serverbin/$_d/"; done
  done
  # Copied, not linked: cupsd checks the owner and mode of the file it runs.
  cp "$_filter" "$base/serverbin/filter/rastertopwg2"
  cp "$_plugin" "$base/serverbin/filter/rastertopwg2-iccp.so"
  chmod 755 "$base/serverbin/filter/rastertopwg2" "$base/serverbin/filter/rastertopwg2-iccp.so" "$base/serverbin" \
    "$base/serverbin"/*
  mkdir -p "$base/data/model/rastertopwg2"
  for _f in "$_sysdata"/*; do [ "$(basename "$_f")" = model ] || ln -s "$_f" "$base/data/"; done
  cp "$@" "$base/data/model/rastertopwg2/"
  chmod -R a+rX "$base/data"
}

start_cupsd() {
  mkdir -p "$base/etc/ppd" "$base/etc/ssl" "$base/spool/tmp" "$base/log" "$base/cache" "$base/state/certs" "$base/run"
  # cupsd runs its filters as lp, which must reach the spool.
  chmod 710 "$base/spool" && chmod 1770 "$base/spool/tmp" && chgrp lp "$base/spool" "$base/spool/tmp"
  cat >"$base/etc/cups-files.conf" <<EOF
User lp
Group lp
SystemGroup root
ServerRoot $base/etc
ServerBin $1
DataDir $2
RequestRoot $base/spool
TempDir $base/spool/tmp
CacheDir $base/cache
StateDir $base/state
ErrorLog $base/log/error_log
AccessLog $base/log/access_log
PageLog $base/log/page_log
Printcap $base/printcap
${3:-}
EOF
  cat >"$base/etc/cupsd.conf" <<EOF
LogLevel debug
MaxLogSize 0
${port:+Listen 127.0.0.1:$port}
Listen $base/run/cups.sock
Browsing No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow localhost
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
  export CUPS_SERVER="$base/run/cups.sock" CUPS_USER=root
  unset CUPS_ENCRYPTION || true
  (cd "$base" && exec "$(command -v cupsd || echo /usr/sbin/cupsd)" -f -c "$base/etc/cupsd.conf" \
    -s "$base/etc/cups-files.conf") >"$base/log/cupsd.out" 2>&1 &
  cupsd_pid=$!
  _i=0
  until lpstat -r 2>/dev/null | grep -q "is running"; do
    kill -0 "$cupsd_pid" 2>/dev/null && [ $((_i += 1)) -le 150 ] ||
      { echo "FAIL: private cupsd did not start" && tail -40 "$base/log/cupsd.out" "$base/log/error_log"; return 1; }
    sleep 0.2
  done
}

stop_pid() {
  [ -n "$1" ] || return 0
  kill -TERM "$1" 2>/dev/null || true
  _i=0
  while kill -0 "$1" 2>/dev/null && [ $((_i += 1)) -le 100 ]; do sleep 0.1; done
  kill -KILL "$1" 2>/dev/null || true
}
