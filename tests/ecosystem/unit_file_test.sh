#!/usr/bin/env bash
# Reads the systemd unit as systemd does, section by section, and fails on a
# directive given twice unless systemd takes it as a list: a second
# ExecReload= runs the reload twice, a second Type= silently wins.
# Usage: unit_file_test.sh <unit file>
set -euo pipefail
unit=$1

# Directives that systemd adds up line by line, so they may repeat.
repeatable=" After Before Wants Requires Documentation Environment ExecStartPre ExecStartPost
 SystemCallFilter RestrictAddressFamilies CapabilityBoundingSet AmbientCapabilities
 ReadWritePaths ReadOnlyPaths InaccessiblePaths WantedBy RequiredBy Also "

duplicates=$(awk -v repeatable="$repeatable" '
    /^[[:space:]]*([#;].*)?$/ { next }
    /^\[/ { section = $0; next }
    {
        key = $0
        sub(/[[:space:]]*=.*/, "", key)
        if (index(repeatable, " " key " ")) next
        if (++seen[section SUBSEP key] == 2) print section " " key
    }' "$unit")

if [ -n "$duplicates" ]; then
    echo "FAIL: directives given more than once in $(basename "$unit"):"
    echo "$duplicates"
    exit 1
fi
echo "$(basename "$unit"): every single-valued directive given once"
