# shellcheck shell=bash
# Sourced by the scripts: the output of their steps (package installation, the build)
# goes to one log file per run; the terminal gets one line per step, and the log's last
# lines when a step fails. Expects `root`, the top of the checkout.

# Opens build/logs/NAME.log for this run, unless a calling script has opened a log
# already: then the steps of both go into that one.
log_open() {
  if [ -n "${ZDRV_LOG:-}" ]; then
    return 0
  fi
  mkdir -p "${root:?}/build/logs"
  ZDRV_LOG=$root/build/logs/$1.log
  export ZDRV_LOG
  : >"$ZDRV_LOG"
}

# The log's path as the user sees it: relative to the checkout when it lies inside.
log_name() {
  printf '%s\n' "${ZDRV_LOG#"$root"/}"
}

# log_step TEXT COMMAND...: says TEXT on one line, then runs COMMAND as log_quietly does.
log_step() {
  echo "$1 (Protokoll: $(log_name))" >&2
  log_quietly "$@"
}

# log_run TEXT COMMAND...: runs COMMAND with its output in the log, headed by TEXT, and
# returns its status without a word: for a step whose failure the caller explains.
log_run() {
  local text=$1
  shift
  printf '\n==> %s: %s\n' "$text" "$*" >>"$ZDRV_LOG"
  "$@" </dev/null >>"$ZDRV_LOG" 2>&1
}

# log_quietly TEXT COMMAND...: runs COMMAND as log_run does. When it fails, says that TEXT
# failed and shows the log's last lines; returns COMMAND's status.
log_quietly() {
  local text=$1 status=0
  log_run "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    {
      echo "Fehlgeschlagen: $text (Status $status). Die letzten Zeilen von $(log_name):"
      tail -n 20 "$ZDRV_LOG" | sed 's/^/    /'
    } >&2
  fi
  return "$status"
}
