#!/usr/bin/env bash
# Two copies of the real desktop program, each in its own network namespace joined by a veth
# shaped to 1 Gbit/s, each on its own virtual X display, each run by an ordinary user with no
# privileges and a fresh data folder, driven with the keyboard as a person does: a Quick Test,
# Connection Details, closing and reopening the main window, a cable pulled and plugged back,
# the adapter replaced (the veth deleted and made again under the same name, so with a new
# index), one copy quit and started again, and Quit. Checks the saved report, what the window
# says at each step, that no screenshot is blank, that both copies exit 0 promptly and that
# nothing they started is left running.
#
# Usage: desktop_smoke.sh PROGRAM SCREENSHOT_DIR EXPECTED_BUILD
#   PROGRAM         the program variant that admits $SORVANTA_WIRED_ADAPTER as a wired adapter
#                   and prints each new text of the main window's band as "shown: <text>"
#   SCREENSHOT_DIR  where the PNG screenshots go (replaced on every run)
#   EXPECTED_BUILD  the version text the report must name, e.g. "0.1.0 (1)"
# Exits 77 (skipped) when it cannot make namespaces or lacks a tool.
set -euo pipefail

program=$(readlink -f "$1")
shots=$(realpath -m "$2")
expected_build=$3

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
log() { echo "[$(date +%T.%N | cut -c1-12)] $*"; }

[ "$(id -u)" -eq 0 ] || skip "needs root to make network namespaces"
for tool in ip tc unshare Xvfb xdotool import identify setpriv; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done

# An ordinary account, as on a desktop (one with a passwd entry, so that what the toolkit may
# start on the user's behalf, such as a session bus, starts as it would there).
uid=$(id -u nobody 2>/dev/null || echo 65534)
gid=$(id -g nobody 2>/dev/null || echo 65534)
tag="smk$$"
nsA="$tag-a" nsB="$tag-b"
devA="$tag-va" devB="$tag-vb"
work=$(mktemp -d)
chmod 755 "$work"
pids=()
xpids=()

# Every process still running that either copy started: each carries the run's mark in its
# environment, whichever session or parent it moved to.
leftovers() {
    local entry
    for entry in /proc/[0-9]*; do
        grep -qzx "SORVANTA_SMOKE_RUN=$tag" "$entry/environ" 2>/dev/null && echo "${entry#/proc/}"
    done
    true
}
cleanup() {
    set +e
    cp "$work"/copy-*.log "$shots"/ 2>/dev/null
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
    done
    for pid in $(leftovers); do
        kill -KILL "$pid" 2>/dev/null
    done
    for pid in "${xpids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    ip netns del "$nsA" 2>/dev/null
    ip netns del "$nsB" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$shots"
mkdir -p "$shots"

# --- The link -------------------------------------------------------------------------------
ip netns add "$nsA" || skip "cannot make network namespaces"
ip netns add "$nsB"
n=$((1 + $$ % 250))
# The cable with both adapters: made at the start and again when the adapter is replaced.
make_link() {
    ip link add "$devA" netns "$nsA" type veth peer name "$devB" netns "$nsB"
    local side ns dev host
    for side in "$nsA $devA 1" "$nsB $devB 2"; do
        read -r ns dev host <<<"$side"
        ip netns exec "$ns" sysctl -q -w "net.ipv6.conf.$dev.addr_gen_mode=1"
        ip -n "$ns" addr add "169.254.$n.$host/16" dev "$dev"
        ip -n "$ns" -6 addr add "fe80::$host/64" dev "$dev" nodad
        ip -n "$ns" link set "$dev" up
        ip netns exec "$ns" tc qdisc add dev "$dev" root tbf rate 1gbit burst 512kb latency 50ms
    done
}
index_of() {  # namespace device
    ip -n "$1" -o link show "$2" | cut -d: -f1
}
ip -n "$nsA" link set lo up
ip -n "$nsB" link set lo up
make_link

# --- Two displays ---------------------------------------------------------------------------
# Starts a virtual display and sets `display` to its name; in this shell, not a subshell, so
# that the cleanup knows the server's process.
start_display() {
    local fd_file="$work/display-$1"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$fd_file" \
        >"$work/xvfb-$1.log" 2>&1 &
    xpids+=($!)
    for _ in $(seq 100); do
        [ -s "$fd_file" ] && break
        sleep 0.05
    done
    [ -s "$fd_file" ] || fail "Xvfb did not start: $(cat "$work/xvfb-$1.log")"
    display=":$(head -1 "$fd_file")"
}
start_display A
displayA=$display
start_display B
displayB=$display
log "displays $displayA and $displayB"

# --- Two copies, as an ordinary user --------------------------------------------------------
# The keyboard library behind the X platform plugin strndup()s strings that end at the given
# length rather than at a NUL, which AddressSanitizer's strict string checks take for an
# overflow; the other checks stay as the caller set them.
asan_options="${ASAN_OPTIONS:-}${ASAN_OPTIONS:+:}strict_string_checks=0"
# The unprivileged user may not reach into the caller's folders, so the program and the leak
# checker's suppressions run from copies in the run's own folder.
cp "$program" "$work/sorvanta"
lsan_options=${LSAN_OPTIONS:-}
if [[ $lsan_options =~ suppressions=([^:]+) ]]; then
    cp "${BASH_REMATCH[1]}" "$work/lsan.supp"
    lsan_options=${lsan_options/${BASH_REMATCH[0]}/suppressions=$work/lsan.supp}
fi
start_copy() {  # side namespace device display computer-name
    local home="$work/home-$1"
    mkdir -p "$home/data" "$home/runtime"
    chown -R "$uid:$gid" "$home"
    chmod 700 "$home/runtime"
    # Each copy has a computer name of its own, as two desktops would.
    cd "$home"
    ip netns exec "$2" unshare --uts -- sh -c 'hostname "$0" && exec "$@"' "$5" \
        setpriv --reuid="$uid" --regid="$gid" --clear-groups -- \
        env -i PATH=/usr/bin:/bin HOME="$home" XDG_DATA_HOME="$home/data" \
        XDG_RUNTIME_DIR="$home/runtime" DISPLAY="$4" QT_QPA_PLATFORM=xcb \
        SORVANTA_WIRED_ADAPTER="$3" SORVANTA_SMOKE_RUN="$tag" ASAN_OPTIONS="$asan_options" \
        UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" LSAN_OPTIONS="$lsan_options" \
        "$work/sorvanta" -SorvantaSaveReports YES >"$work/copy-$1.log" 2>&1 &
    pids+=($!)
    cd "$work"
}
start_copy A "$nsA" "$devA" "$displayA" Desk
start_copy B "$nsB" "$devB" "$displayB" Studio
pidA=${pids[0]} pidB=${pids[1]}

# The visible window with exactly this title on a display; fails after `seconds`.
window() {  # display title seconds
    timeout "$3" env DISPLAY="$1" xdotool search --sync --onlyvisible --name "^$2\$" 2>/dev/null |
        head -1 || true
}
# Gives a window the keyboard (there is no window manager) and types keys into it.
keys() {  # display window keys...
    local display=$1 win=$2
    shift 2
    DISPLAY="$display" timeout 5 xdotool windowraise "$win" windowfocus --sync "$win" ||
        fail "window $win on $display did not take the keyboard"
    DISPLAY="$display" timeout 5 xdotool key --clearmodifiers "$@"
}
shot() {  # display window name
    local file="$shots/$3.png"
    DISPLAY="$1" import -window "$2" "$file"
    local colours
    colours=$(identify -format '%k' "$file")
    log "screenshot $3.png: $colours colours"
    [ "$colours" -gt 1 ] || fail "screenshot $3.png is blank (one colour)"
}
alive() {  # pid side
    kill -0 "$1" 2>/dev/null || fail "copy $2 ended early: $(tail -20 "$work/copy-$2.log")"
}
link_bytes() {  # both directions of A's end
    local counters="/sys/class/net/$devA/statistics"
    echo $(($(ip netns exec "$nsA" cat "$counters/tx_bytes" "$counters/rx_bytes" | paste -sd+)))
}

mainA=$(window "$displayA" Sorvanta 30)
mainB=$(window "$displayB" Sorvanta 30)
[ -n "$mainA" ] && [ -n "$mainB" ] || fail "a main window did not appear"
log "main windows $mainA and $mainB"

# --- A Quick Test started with Ctrl+Return --------------------------------------------------
# Test is enabled once this copy has found the other over the direct link; the other may still
# be settling and turn the first request down, which ends that run with its report saved. So
# the key is pressed, as a person would press Test Again, until the link carries the test's
# traffic. The idle screenshot kept is the one taken just before the key that started it.
reports="$work/home-A/data/Sorvanta/Reports"
count_reports() { ls "$reports" 2>/dev/null | grep -c "\.txt$" || true; }
# Runs one Quick Test from the keyboard and sets `report` to its saved report; the window
# before the key that started it is saved as the screenshot named by the argument.
quick_test() {  # screenshot-name
    local started="" before saved
    for _ in $(seq 20); do
        alive "$pidA" A
        alive "$pidB" B
        before=$(link_bytes)
        saved=$(count_reports)
        shot "$displayA" "$mainA" "$1"
        keys "$displayA" "$mainA" ctrl+Return
        for _ in $(seq 20); do
            sleep 0.1
            if [ $(($(link_bytes) - before)) -gt 20000000 ]; then
                started=yes
                break 2
            fi
            [ "$(count_reports)" -eq "$saved" ] || break
        done
        [ "$(count_reports)" -eq "$saved" ] || log "a run ended without traffic; trying again"
        sleep 0.5
    done
    [ -n "$started" ] || fail "Ctrl+Return did not start a Quick Test"
    saved=$(count_reports)
    log "test running"
    sleep 5
    shot "$displayA" "$mainA" 2-main-running

    # The run's report is the one saved after its traffic began.
    for _ in $(seq 600); do
        [ "$(count_reports)" -gt "$saved" ] && break
        alive "$pidA" A
        sleep 0.1
    done
    [ "$(count_reports)" -gt "$saved" ] || fail "no report was saved for the test"
    report=$(ls -t "$reports"/*.txt | head -1)
    log "report saved: $(basename "$report")"
    cp "$report" "$shots/report-A.txt"
}
quick_test 1-main-idle
# A sanitizer build on a busy machine may fall short of 90 % of the link in one direction,
# which the program rightly reports as needing attention; a second run must reach the class.
if ! grep -q "Gigabit-class performance" "$report"; then
    log "below gigabit class: $(grep -m1 '^Observed performance' "$report"); testing again"
    sleep 1
    quick_test 1-main-before-second-run
fi
grep -q "Gigabit-class performance" "$report" ||
    fail "the report does not name Gigabit-class performance: $(cat "$report")"
grep -q "^Sorvanta  $expected_build " "$report" ||
    fail "the report does not name the build $expected_build: $(grep -m1 '^Sorvanta  ' "$report")"
sleep 1
shot "$displayA" "$mainA" 3-main-result

# --- Connection Details, then the window commands -------------------------------------------
keys "$displayA" "$mainA" ctrl+d
details=$(window "$displayA" "Connection Details" 10)
[ -n "$details" ] || fail "Ctrl+D did not open Connection Details"
sleep 0.5
shot "$displayA" "$details" 4-details

# Ctrl+W closes the window that has the keyboard: the main one, while Details stays open and
# the program keeps running.
keys "$displayA" "$mainA" ctrl+w
sleep 0.5
alive "$pidA" A
[ -z "$(window "$displayA" Sorvanta 1)" ] || fail "Ctrl+W did not close the main window"
[ -n "$(window "$displayA" "Connection Details" 1)" ] || fail "Ctrl+W closed Connection Details"

# Main Window (Ctrl+0) from Connection Details shows it again.
# Closing the main window stopped the service; showing it again starts it, and the copies
# greet each other once more (the program's log counts each accepted greeting).
greetings() { grep -c "Hello accepted" "$work/copy-A.log" || true; }
greeted=$(greetings)
keys "$displayA" "$details" ctrl+0
mainA=$(window "$displayA" Sorvanta 5)
[ -n "$mainA" ] || fail "Ctrl+0 did not show the main window again"
for _ in $(seq 150); do
    [ "$(greetings)" -gt "$greeted" ] && break
    sleep 0.1
done
[ "$(greetings)" -gt "$greeted" ] || fail "the reopened main window did not find the other copy"
sleep 0.5
shot "$displayA" "$mainA" 5-main-reopened

# --- What the window says -------------------------------------------------------------------
# Each copy prints every new text of its band; a step's texts are those printed after it began.
mark() {  # side
    wc -l <"$work/copy-$1.log"
}
shown_count() {  # side
    grep -c '^shown: ' "$work/copy-$1.log" || true
}
now_ms() { date +%s%3N; }
# Waits until the copy's band showed a text beginning with `text` after `mark`; fails after
# `seconds`, else logs how long it took since `since` (from now_ms).
await_shown() {  # side mark text seconds since
    local pid=$pidA took
    [ "$1" = B ] && pid=$pidB
    for _ in $(seq $(($4 * 10))); do
        if tail -n +$(($2 + 1)) "$work/copy-$1.log" | grep -qF -- "shown: $3"; then
            took=$(($(now_ms) - $5))
            log "copy $1 shows \"$3\" after $((took / 1000)).$(printf %03d $((took % 1000))) s"
            return
        fi
        alive "$pid" "$1"
        sleep 0.1
    done
    fail "copy $1 did not show \"$3\" within $4 s; it showed: $(grep '^shown: ' \
        "$work/copy-$1.log" | tail -5 | paste -sd'|')"
}
# The texts of each window, by the Parts' words.
readyA="Connected over Ethernet to Studio."
readyB="Connected over Ethernet to Desk."
cableText="Not connected. Connect an Ethernet cable"
await_ready() {  # markA markB seconds since
    await_shown A "$1" "$readyA" "$3" "$4"
    await_shown B "$2" "$readyB" "$3" "$4"
}

# --- A cable pulled and plugged back ---------------------------------------------------------
# A's end taken down is a pulled cable for both: B's port loses its carrier, A's has no link.
# Each window asks for the cable once its short settling time after the change has passed.
markA=$(mark A) markB=$(mark B) since=$(now_ms)
ip -n "$nsA" link set "$devA" down
log "cable pulled"
await_shown A "$markA" "$cableText" 25 "$since"
await_shown B "$markB" "$cableText" 25 "$since"
shot "$displayB" "$mainB" 6-cable-pulled
markA=$(mark A) markB=$(mark B) since=$(now_ms)
# Taking a device down drops its IPv6 link-local address; a real adapter makes its own again
# when it comes up, the test's fixed one is put back.
ip -n "$nsA" link set "$devA" up
ip -n "$nsA" -6 addr replace fe80::1/64 dev "$devA" nodad
log "cable plugged back"
await_ready "$markA" "$markB" 20 "$since"

# --- The adapter replaced --------------------------------------------------------------------
# Deleting the veth and making it again under the same names is an adapter unplugged and
# plugged back: the kernel gives it a new index, which both copies take up by themselves.
oldIndex=$(index_of "$nsA" "$devA")
ip -n "$nsA" link del "$devA"
log "adapter removed"
sleep 1
markA=$(mark A) markB=$(mark B) since=$(now_ms)
make_link
newIndex=$(index_of "$nsA" "$devA")
[ "$newIndex" != "$oldIndex" ] || fail "the veth made again kept its index $oldIndex"
log "adapter made again: index $oldIndex, now $newIndex"
await_ready "$markA" "$markB" 20 "$since"
shot "$displayA" "$mainA" 7-main-adapter-replaced

# --- One copy quit and started again ---------------------------------------------------------
# Both copies quit with Ctrl+Q, each within 5 s and with status 0.
ended() {  # pid side
    for _ in $(seq 50); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$1" 2>/dev/null && fail "copy $2 did not quit within 5 s"
    local status=0
    wait "$1" || status=$?
    [ "$status" -eq 0 ] || fail "copy $2 exited with $status: $(tail -30 "$work/copy-$2.log")"
    log "copy $2 quit with 0"
}
keys "$displayB" "$mainB" ctrl+q
ended "$pidB" B
mv "$work/copy-B.log" "$work/copy-B-first.log"
markA=$(mark A) since=$(now_ms)
start_copy B "$nsB" "$devB" "$displayB" Studio
pidB=${pids[-1]}
mainB=$(window "$displayB" Sorvanta 30)
[ -n "$mainB" ] || fail "the main window of copy B did not appear again"
await_ready "$markA" 0 30 "$since"
# Ready stays ready: neither window says anything new for a while.
markA=$(mark A) shownA=$(shown_count A) shownB=$(shown_count B)
sleep 3
[ "$(shown_count A)" -eq "$shownA" ] && [ "$(shown_count B)" -eq "$shownB" ] ||
    fail "the windows did not stay ready: $(tail -n +$((markA + 1)) "$work/copy-A.log" |
        grep '^shown: ' | paste -sd'|')"
! grep -qF "Cannot verify the selected Ethernet path" "$work/copy-A.log" ||
    fail "copy A refused the copy started again: $(grep -cF "Cannot verify" "$work/copy-A.log")"

# --- Quit -----------------------------------------------------------------------------------
keys "$displayA" "$mainA" ctrl+q
keys "$displayB" "$mainB" ctrl+q
ended "$pidA" A
ended "$pidB" B
pids=()
sleep 0.5
left=""
for pid in $(leftovers); do
    left+=" $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null);"
done
[ -z "$left" ] || fail "processes left running after quitting:$left"
log "passed"
