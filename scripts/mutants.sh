#!/usr/bin/env bash
# The mutation check: each row of scripts/mutants.tsv is a plausible fault that a named set of
# tests must catch. Usage: scripts/mutants.sh [--only ID[,ID]] [--list] [--help]
set -euo pipefail
exec python3 "$(dirname "$0")/mutants.py" "$@"
