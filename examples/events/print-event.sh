#!/bin/sh
# kel36-host --on-event: prints what it is told, for a first try and for
# tests. Its output lands in kel36-host's log (stderr, or the journal).
echo "$KEL36_TIME $KEL36_DEVICE (data id $KEL36_DATA_ID) $KEL36_EVENT" \
    "${KEL36_SIGNAL:+$KEL36_SIGNAL $KEL36_CODE $KEL36_TEXT}" \
    "${KEL36_FOUND_AT_START:+found at start}${KEL36_TEST:+test}" \
    "uab=${KEL36_UAB:-none} battery=${KEL36_BATTERY_VOLTAGE:-none}"
# The same event as JSON, one line on stdin.
cat
