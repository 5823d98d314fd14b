# Sourced by scripts/wine-tests and scripts/bench: a private Wine prefix in a
# build tree and box simulators linked as its COM ports.
#
#   wine_lane_begin BUILD_DIR WINE WINESERVER WINEARCH
#       exports the Wine environment, makes the prefix once and writes
#       c:\qorin\qorin.cfg naming COM1.
#   start_sim N [SIMULATOR OPTIONS]   a simulator linked as COMn (last_sim_pid)
#   export_server_pid                 starts the prefix's Wine server and exports
#                                     ZRQ_WINESERVER_PID, for programs to read
#                                     its CPU time
#   wine_lane_end                     ends the server, then the simulators
#
# Needs boxsim (the native zrq-boxsim). Call wine_lane_end from an EXIT trap.

wine_lane_begin() {
    lane_build=$(cd "$1" && pwd)
    lane_wine=$2 lane_server=$3
    export WINEPREFIX="$lane_build/wineprefix" WINEDEBUG=-all WINEARCH=$4
    export WINELOADER=$lane_wine WINESERVER=$lane_server
    # No Mono or Gecko installers: the tests need neither.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    sim_pids=""
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the Wine prefix $WINEPREFIX (once)"
        timeout 300 "$lane_wine" wineboot -i </dev/null >/dev/null 2>&1
        "$lane_server" -w >/dev/null 2>&1
    fi
    mkdir -p "$WINEPREFIX/drive_c/qorin"
    printf '1 COMPORT \r\n' >"$WINEPREFIX/drive_c/qorin/qorin.cfg"
}

start_sim() {
    local n=$1 link="$lane_build/boxsim-com$1"
    shift
    rm -f "$link"
    "$boxsim" --link "$link" "$@" >"$lane_build/boxsim-com$n.out" 2>&1 &
    last_sim_pid=$!
    sim_pids="$sim_pids $last_sim_pid"
    for _ in $(seq 100); do
        [ -L "$link" ] && break
        sleep 0.1
    done
    if [ ! -L "$link" ]; then
        echo "zrq-boxsim did not make its pseudo-terminal:" >&2
        cat "$lane_build/boxsim-com$n.out" >&2
        exit 1
    fi
    local slave
    slave=$(readlink -f "$link")
    # Wine links COMn to the machine's serial ports each time it starts; its
    # port list in the registry is what makes COMn the simulator's.
    "$lane_wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$slave" /f </dev/null >/dev/null 2>&1
    ln -sfn "$slave" "$WINEPREFIX/dosdevices/com$n"
}

# Starts the prefix's Wine server, to last until 10 s after its last program,
# and exports its process id. A server works in a directory named after its
# prefix's device and inode, which is how it is found. A server that Wine
# starts by itself would end the moment its last program does.
export_server_pid() {
    local dir pid
    timeout 60 "$lane_server" -w >/dev/null 2>&1 || true
    "$lane_server" -p10 </dev/null >/dev/null 2>&1 || true
    # The Wine services start with the first program and hold its output
    # open for as long as the server lives: let that be a program whose
    # output goes nowhere.
    "$lane_wine" reg query 'HKLM\Software\Wine' </dev/null >/dev/null 2>&1 || true
    dir=$(stat -c '%d %i' "$WINEPREFIX" | awk '{printf "server-%x-%x", $1, $2}')
    unset ZRQ_WINESERVER_PID
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        case "$(cat "/proc/$pid/comm" 2>/dev/null)" in
        wineserver*)
            if [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$dir" ]; then
                export ZRQ_WINESERVER_PID=$pid
                return 0
            fi
            ;;
        esac
    done
    echo "no Wine server of $WINEPREFIX found: its CPU time is not measured" >&2
}

wine_lane_end() {
    # Wine first: its server holds the pseudo-terminals as its controlling
    # terminal, and a simulator's exit would hang one up under the server.
    # The server ends by itself shortly after its last program.
    timeout 60 "$lane_server" -w >/dev/null 2>&1 || "$lane_server" -k >/dev/null 2>&1 || true
    local pid
    for pid in ${sim_pids:-}; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
