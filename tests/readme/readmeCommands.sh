#!/usr/bin/env bash
# Runs the example commands of README.md, so that the guide cannot drift from
# what the programs do.
#
#   readmeCommands.sh SOURCE_DIR BUILD_DIR [README]
#
# Every ```sh block of the README must follow a comment that says how to run
# it; a block of another kind is only shown. The comment holds steps, done in
# order:
#   <!-- test: run, expect "TEXT" -->           run the block; it must succeed and print TEXT
#   <!-- test: start, wait for "TEXT" -->       start the block in the background (its input
#                                               held open) and wait until its output shows TEXT
#   <!-- test: wait for "TEXT" in FILE, run --> wait until FILE shows TEXT, then run the block
#   <!-- test: enter -->                        press Enter: a line to the background's input
#   <!-- test: stop -->                         end its input (Ctrl-D); it must end with status 0
#   <!-- test: interrupt -->                    Ctrl-C (SIGINT); it must end with status 0
# Two commands may run in the background at once, as in two terminals: "start as NAME"
# names the second; "wait for "TEXT" from NAME", "enter NAME", "stop NAME", "interrupt NAME"
# and "expect "TEXT" from NAME" (its output so far, or all of it once it ended) act on the one named, the forms
# without a name on the one started last that still runs.
# A comment without run or start takes no block.
#
# The blocks run in a fresh directory that holds "build" (the build tree) and
# the source directories the README names, with a private TMPDIR and HOME, in
# private IPC, network and mount namespaces (a private /tmp, so that nothing a
# JVM or jcmd puts there escapes; trees below /tmp are bound back into it). The
# network namespace is the blocks' own, so the README's port 8849 is free there
# and used as it stands.
# Exit status 77 (skipped) when the namespaces cannot be had.
set -uo pipefail

source_dir="$(cd "$1" && pwd)"
build_dir="$(cd "$2" && pwd)"
readme="${3:-$source_dir/README.md}"

if [ "${README_TEST_INSIDE:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare --ipc --net --mount --propagation private true 2>/dev/null; then
        echo "SKIPPED: the README's commands run in private namespaces, which need root and unshare"
        exit 77
    fi
    export README_TEST_INSIDE=1
    exec unshare --ipc --net --mount --propagation private bash "$0" "$@"
fi

ip link set lo up

# A source or build tree below /tmp stays where it is: each is held open while
# the tmpfs covers /tmp, then bound back at its own path from that handle.
held=()
for tree in "$source_dir" "$build_dir"; do
    case "$tree/" in
    /tmp/*)
        exec {handle}<"$tree"
        held+=("$handle:$tree")
        ;;
    esac
done
mount -t tmpfs -o mode=1777 tmpfs /tmp
for entry in "${held[@]}"; do
    handle="${entry%%:*}" tree="${entry#*:}"
    mkdir -p "$tree"
    mount --no-canonicalize --bind "/proc/$$/fd/$handle" "$tree" || {
        echo "FAILED: cannot bind $tree back over the private /tmp"
        exit 1
    }
    exec {handle}<&-
done

# The blocks' directory is in the private /tmp; its path holds a space, as a clone's may.
work="$(mktemp -d "/tmp/readme blocks.XXXXXX")"
# The background commands by name: process group, input descriptor; the
# names in the order they started.
declare -A bg_pids bg_fds
bg_names=()
cleanup() {
    local name
    for name in "${!bg_pids[@]}"; do
        kill -KILL -- "-${bg_pids[$name]}" 2>/dev/null
        wait "${bg_pids[$name]}" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAILED: $*"
    local name
    for name in "${bg_names[@]}"; do
        echo "--- output of the background command \"$name\" so far:"
        cat "$work/$name.out"
    done
    exit 1
}

# The background command a step names, else the one started last: sets bg_name.
pick_background() {
    bg_name="${1# }"
    if [ -z "$bg_name" ] && [ "${#bg_names[@]}" -gt 0 ]; then
        bg_name="${bg_names[-1]}"
    fi
    [ -n "$bg_name" ] && [ -n "${bg_pids[$bg_name]:-}" ] || fail "$2: no background command \"${1# }\" runs"
}

# Closes the input of background command bg_name (Ctrl-D).
close_input() {
    local fd="${bg_fds[$bg_name]:-}"
    [ -z "$fd" ] || exec {fd}>&-
    bg_fds[$bg_name]=
}

run_dir="$work/run"
mkdir -p "$run_dir" "$work/home"
ln -s "$build_dir" "$run_dir/build"
for d in examples firmware; do
    ln -s "$source_dir/$d" "$run_dir/$d"
done
export TMPDIR="$work/home" HOME="$work/home"
if [ -n "${JAVA_HOME:-}" ]; then
    export PATH="$JAVA_HOME/bin:$PATH"
fi
unset JAVA_TOOL_OPTIONS

# Waits up to two minutes until FILE holds TEXT; PID, when given, is the
# background command that writes FILE.
wait_for() {
    local text="$1" file="$2" pid="${3:-}"
    for _ in $(seq 1200); do
        grep -qF -- "$text" "$file" 2>/dev/null && return 0
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            grep -qF -- "$text" "$file" 2>/dev/null && return 0
            fail "the background command ended before it printed \"$text\""
        fi
        sleep 0.1
    done
    fail "\"$text\" did not appear in $file within two minutes"
}

# Waits up to a minute for background command bg_name to end; it must end with status 0.
wait_background() {
    local what="$1" pid="${bg_pids[$bg_name]}"
    for _ in $(seq 600); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "the background command \"$bg_name\" did not end after $what"
    wait "$pid"
    local status=$?
    echo "--- the background command \"$bg_name\" ended with status $status; its output:"
    cat "$work/$bg_name.out"
    close_input
    unset "bg_pids[$bg_name]" "bg_fds[$bg_name]"
    local kept=() name
    for name in "${bg_names[@]}"; do
        [ "$name" = "$bg_name" ] || kept+=("$name")
    done
    bg_names=("${kept[@]}")
    [ "$status" -eq 0 ] || fail "the background command \"$bg_name\" ended with status $status after $what"
}

# Splits a comment's steps at the commas outside quotes, one a line.
steps_of() {
    perl -e '$_ = shift; s/^\s*<!--\s*test:\s*//; s/\s*-->\s*$//; print "$1\n" while /\s*((?:[^,"]|"[^"]*")+)/g' "$1"
}

# Runs one step of a comment; the block (if any) is in $work/block.sh.
do_step() {
    local step="$1" text file
    case "$step" in
    run)
        echo "--- run:"
        cat "$work/block.sh"
        (cd "$run_dir" && bash -e "$work/block.sh") </dev/null >"$work/block.out" 2>&1
        local status=$?
        cat "$work/block.out"
        [ "$status" -eq 0 ] || fail "the block ended with status $status"
        ;;
    start | "start as "*)
        local name=background
        [ "$step" = start ] || name="${step#start as }"
        [ -z "${bg_pids[$name]:-}" ] || fail "a background command \"$name\" runs already"
        [ "${#bg_names[@]}" -lt 2 ] || fail "two background commands run already"
        echo "--- start in the background as \"$name\":"
        cat "$work/block.sh"
        # Its own copy: bash reads a script as it goes, and the next block rewrites block.sh.
        cp "$work/block.sh" "$work/$name.sh"
        rm -f "$work/$name.in"
        mkfifo "$work/$name.in"
        (cd "$run_dir" && exec setsid bash -e "$work/$name.sh") <"$work/$name.in" >"$work/$name.out" 2>&1 &
        bg_pids[$name]=$!
        local fd
        exec {fd}>"$work/$name.in"
        bg_fds[$name]=$fd
        bg_names+=("$name")
        ;;
    "expect \""*"\" from "*)
        text="${step#expect \"}"
        text="${text%\" from *}"
        file="${step##*\" from }"
        [ -f "$work/$file.out" ] || fail "expect: no background command \"$file\" was started"
        grep -qF -- "$text" "$work/$file.out" || fail "the output of \"$file\" lacks \"$text\""
        ;;
    "expect \""*\")
        text="${step#expect \"}"
        text="${text%\"}"
        grep -qF -- "$text" "$work/block.out" || fail "the block's output lacks \"$text\""
        ;;
    "wait for \""*"\" from "*)
        text="${step#wait for \"}"
        text="${text%\" from *}"
        pick_background "${step##*\" from }" "wait for"
        wait_for "$text" "$work/$bg_name.out" "${bg_pids[$bg_name]}"
        ;;
    "wait for \""*\")
        text="${step#wait for \"}"
        text="${text%\"}"
        pick_background "" "wait for"
        wait_for "$text" "$work/$bg_name.out" "${bg_pids[$bg_name]}"
        ;;
    "wait for \""*"\" in "*)
        file="${step##*\" in }"
        text="${step#wait for \"}"
        text="${text%\" in *}"
        wait_for "$text" "$run_dir/$file"
        ;;
    enter | "enter "*)
        pick_background "${step#enter}" "enter"
        echo >&"${bg_fds[$bg_name]}"
        ;;
    stop | "stop "*)
        pick_background "${step#stop}" "stop"
        close_input
        wait_background "the end of its input"
        ;;
    interrupt | "interrupt "*)
        pick_background "${step#interrupt}" "interrupt"
        kill -INT -- "-${bg_pids[$bg_name]}"
        wait_background "SIGINT"
        ;;
    *)
        fail "unknown step \"$step\" in README.md"
        ;;
    esac
}

# Reads the README: a comment with run or start waits for its block.
pending=
in_block=
block_kind=
blocks=0
line_no=0
while IFS= read -r line || [ -n "$line" ]; do
    line_no=$((line_no + 1))
    if [ -n "$in_block" ]; then
        if [[ "$line" =~ ^\`\`\` ]]; then
            in_block=
            [ "$block_kind" = sh ] || continue
            [ -n "$pending" ] || fail "README.md line $line_no: a sh block without a test comment before it"
            echo "=== README.md, block ending on line $line_no"
            while IFS= read -r step; do
                do_step "$step"
            done < <(steps_of "$pending")
            pending=
            blocks=$((blocks + 1))
        elif [ "$block_kind" = sh ]; then
            printf '%s\n' "$line" >>"$work/block.sh"
        fi
        continue
    fi
    if [[ "$line" =~ ^\`\`\`(.*)$ ]]; then
        in_block=1
        block_kind="${BASH_REMATCH[1]}"
        : >"$work/block.sh"
        continue
    fi
    if [[ "$line" =~ ^\<\!--\ test: ]]; then
        [ -z "$pending" ] || fail "README.md line $line_no: the comment before has no block"
        steps="$(steps_of "$line")"
        if grep -qx 'run\|start\|start as .*' <<<"$steps"; then
            pending="$line"
        else
            echo "=== README.md line $line_no"
            while IFS= read -r step; do
                do_step "$step"
            done <<<"$steps"
        fi
    fi
done <"$readme"

[ -z "$pending" ] || fail "README.md ends before the block of its last test comment"
[ "${#bg_names[@]}" -eq 0 ] || fail "README.md leaves a command running in the background"
[ "$blocks" -gt 0 ] || fail "README.md has no sh blocks"
echo "=== $blocks blocks of README.md ran as written"
