#!/bin/sh
# Runs a command with an unlocked headless keyring: dbus-run-session -- keyring-session.sh COMMAND...
set -eu
export HOME="$(mktemp -d "${TMPDIR:-/tmp}/keyring-home-XXXXXX")"
trap 'rm -rf "$HOME"' EXIT
mkdir -p "$HOME/.cache" "$HOME/.local/share/keyrings"
eval "$(printf 'test-pw' | gnome-keyring-daemon --unlock --components=secrets)"
export GNOME_KEYRING_CONTROL
export QV_KEYRING_TEST=1
"$@"
