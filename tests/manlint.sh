#!/bin/sh
# Renders a manual page with groff and fails on any warning or error.
command -v groff >/dev/null 2>&1 || { echo "groff is not installed"; exit 77; }
out=$(groff -man -Tutf8 -ww -z "$1" 2>&1) || { printf '%s\n' "$out"; exit 1; }
[ -z "$out" ] || { printf '%s\n' "$out"; exit 1; }
