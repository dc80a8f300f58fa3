#!/bin/sh
# The program under Xvfb with a private HOME and runtime folder, in network namespaces of its own:
#  1. with a network (a veth with an address and a default route): once the SDK service has answered 0 it
#     shows the login window, saves a screenshot of it that is not one colour, and quits on its own with 0;
#  2. without one (loopback only): the start is refused and no window opens; a second launch asks the first
#     to reopen, which then shows the login window.
#   tessera-launch.sh TESSERA GALLERY
# Without xvfb-run the check is skipped (exit 77); without namespaces (not root) case 1 runs in the
# machine's own network and case 2 is skipped, saying why.
set -eu
TESSERA="$1"
GALLERY="$2"
MODE="${3:-}"
if ! command -v xvfb-run >/dev/null 2>&1; then
    echo "SKIP: xvfb-run missing (scripts/install-deps installs xvfb)"
    exit 77
fi
SELF="$(readlink -f "$0")"

if [ -z "$MODE" ]; then
    if unshare -n true 2>/dev/null; then
        unshare -n "$SELF" "$TESSERA" "$GALLERY" --with-network
        unshare -n "$SELF" "$TESSERA" "$GALLERY" --without-network
    else
        echo "no network namespace (unshare -n needs root): the machine's network; the offline case is skipped"
        "$SELF" "$TESSERA" "$GALLERY" --as-is
    fi
    exit 0
fi

DIR="$(mktemp -d "${TMPDIR:-/tmp}/qv-launch-XXXXXX")"
trap 'rm -rf "$DIR"' EXIT
mkdir -m 0700 "$DIR/runtime"
export HOME="$DIR" XDG_CONFIG_HOME="$DIR/config" XDG_CACHE_HOME="$DIR/cache" XDG_DATA_HOME="$DIR/data" \
       XDG_RUNTIME_DIR="$DIR/runtime" DBUS_SESSION_BUS_ADDRESS=disabled: QT_QPA_PLATFORM=xcb
fail() {
    cat "$DIR"/*.log 2>/dev/null || true
    echo "FAIL: $1"
    exit 1
}

case "$MODE" in
--with-network)
    ip link set lo up
    ip link add qv0 type veth peer name qv1
    ip addr add 192.0.2.10/24 brd + dev qv0
    ip link set qv1 up
    ip link set qv0 up
    ip route add default via 192.0.2.1 dev qv0
    ;;
--without-network)
    ip link set lo up
    ;;
esac

if [ "$MODE" != "--without-network" ]; then
    rc=0
    timeout 90 xvfb-run -a -s "-screen 0 1440x900x24" "$TESSERA" --screenshot "$DIR/shot.png" \
        >"$DIR/first.log" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || fail "the program ended with $rc"
    grep -q "screenshot of QVLoginWindowController saved" "$DIR/first.log" ||
        fail "the screenshot is not of the login window"
    QT_QPA_PLATFORM=offscreen "$GALLERY" --check-png "$DIR/shot.png"
    echo "with a network: the login window showed; screenshot checked"
    exit 0
fi

# Offline: both launches share one Xvfb.
cat >"$DIR/offline.sh" <<'INNER'
#!/bin/sh
TESSERA="$1"; DIR="$2"
"$TESSERA" --screenshot "$DIR/shot.png" >"$DIR/first.log" 2>&1 &
first=$!
i=0
while ! grep -q "start service:" "$DIR/first.log" 2>/dev/null; do
    i=$((i + 1)); [ "$i" -lt 300 ] || break; sleep 0.1
done
sleep 1
[ -e "$DIR/shot.png" ] && { echo "a window showed without a network"; kill "$first"; exit 1; }
"$TESSERA" >"$DIR/second.log" 2>&1 || { echo "the second launch failed"; kill "$first"; exit 1; }
wait "$first"
INNER
rc=0
timeout 90 xvfb-run -a -s "-screen 0 1440x900x24" sh "$DIR/offline.sh" "$TESSERA" "$DIR" >"$DIR/xvfb.log" 2>&1 ||
    rc=$?
[ "$rc" -eq 0 ] || fail "offline: ended with $rc"
grep -q "start service: 110001" "$DIR/first.log" || fail "offline: the start was not refused"
grep -q "another instance runs" "$DIR/second.log" || fail "offline: the second launch did not ask to reopen"
grep -q "screenshot of QVLoginWindowController saved" "$DIR/first.log" ||
    fail "offline: the reopen did not show the login window"
QT_QPA_PLATFORM=offscreen "$GALLERY" --check-png "$DIR/shot.png"
echo "without a network: no window until a second launch reopened the login window"
