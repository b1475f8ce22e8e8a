#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: skip_reasons.sh [--clear] JUNIT_FILE
# ctest names the skipped tests but not why they skipped. Run by ctest after
# the tests (CTestCustom.cmake), this prints each skipped test's reason from the
# JUnit file the test presets have ctest write: the line "skipped: REASON"
# its output holds (the convention of the test scripts), GoogleTest's
# GTEST_SKIP message, else its output's last line. With --clear, run before the
# tests, it removes the file of an earlier run, so that a run that writes none
# reports nothing rather than another run's skips. Never fails: it only reports.
if [ "$1" = --clear ]; then
  rm -f "$2"
  exit 0
fi
[ -r "$1" ] || exit 0
awk '
  function unescape(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
    gsub(/&amp;/, "\\&", s)
    return s
  }
  function attr(line, key,    s) {
    s = substr(line, index(line, key "=\"") + length(key) + 2)
    return unescape(substr(s, 1, index(s, "\"") - 1))
  }
  function take(line) {   # one line of a test output
    line = unescape(line)
    if (gmsg && (line == "" || line ~ /^\[  SKIPPED \]/)) gmsg = 0
    else if (gmsg) { greason = greason (greason == "" ? "" : "; ") line; return }
    if (line ~ /^skipped: /) reason = reason (reason == "" ? "" : "; ") substr(line, 10)
    else if (line ~ /: Skipped$/) gmsg = 1
    if (line != "") last = line
  }
  /<testcase / { name = attr($0, "name"); status = attr($0, "status"); why = reason = greason = last = ""; gmsg = out = 0; next }
  /<skipped message="/ { why = attr($0, "message"); next }
  /<system-out>/ { out = 1; sub(/.*<system-out>/, "") }
  out && /<\/system-out>/ { sub(/<\/system-out>.*/, ""); if ($0 != "") take($0); out = 0; next }
  out { take($0); next }
  /<\/testcase>/ && status == "notrun" {
    r = reason != "" ? reason : greason != "" ? greason : last != "" ? last : why
    if (!shown++) print "Why the tests above did not run:"
    print "  " name ": " r
  }
' "$1"
exit 0
