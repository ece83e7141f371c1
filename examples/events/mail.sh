#!/bin/sh
# kel36-host --on-event: mails each event through sendmail (exim4, postfix,
# msmtp-mta and nullmailer all provide it). The address is the argument:
#   "onEvent": ["/usr/local/lib/kel36/mail.sh", "ops@example.org"]
set -eu
to=${1:?usage: mail.sh ADDRESS}
subject="kel36 $KEL36_DEVICE: $KEL36_EVENT${KEL36_SIGNAL:+ $KEL36_SIGNAL $KEL36_TEXT}${KEL36_TEST:+ (test)}"
{
    printf 'To: %s\nSubject: %s\nMIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n\n' \
        "$to" "$subject"
    printf '%s at %s (data id %s)\n\n' "$KEL36_EVENT" "$KEL36_TIME" "$KEL36_DATA_ID"
    env | grep '^KEL36_' | sort
} | /usr/sbin/sendmail -t
