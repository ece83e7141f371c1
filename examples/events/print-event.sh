#!/bin/sh
# kel36-host --on-event: prints what it is told, for a first try and for
# tests. Its output lands in kel36-host's log (stderr, or the journal).
line="$KEL36_TIME $KEL36_DEVICE (data id $KEL36_DATA_ID) $KEL36_EVENT"
[ -n "${KEL36_SIGNAL:-}" ] && line="$line $KEL36_SIGNAL $KEL36_CODE $KEL36_TEXT"
[ -n "${KEL36_FOUND_AT_START:-}" ] && line="$line, found at start"
[ -n "${KEL36_TEST:-}" ] && line="$line, a test"
echo "$line; uab=${KEL36_UAB:-none} battery=${KEL36_BATTERY_VOLTAGE:-none}"
# The same event as JSON, one line on stdin.
cat
