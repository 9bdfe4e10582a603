#!/bin/sh
# promtool_rules.sh RULES TESTS: checks the alert rules and runs their unit
# tests. Exit 77 (skipped) without promtool.
set -e
if ! command -v promtool >/dev/null 2>&1; then
  echo "promtool not found (Debian package prometheus): the alert rules are not checked"
  exit 77
fi
promtool check rules "$1"
promtool test rules "$2"
