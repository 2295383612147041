# Shared by the fault and soak scripts; sourced, not run.

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
wait_for() {
    local tries=$(($1 * 20))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.05
    done
}
