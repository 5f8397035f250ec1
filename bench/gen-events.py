#!/usr/bin/env python3
"""Writes N calendar events as one .ics file and, optionally, as a vdir (one .ics per event).

From 2024-01-01 on, N/1000 events a day (at least one) between 07:00 and 19:00 UTC, 45 minutes
each; every tenth event is a weekly series without end, every third has two attendees. The same
N always gives the same events.
"""
import argparse
import datetime
import os

HEAD = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//pim bench//EN\r\n"
TAIL = "END:VCALENDAR\r\n"


def events(n):
    per_day = max(1, n // 1000)
    step = 12 * 60 // per_day
    first = datetime.datetime(2024, 1, 1, 7, 0, tzinfo=datetime.timezone.utc)
    for i in range(n):
        start = first + datetime.timedelta(days=i // per_day, minutes=(i % per_day) * step)
        end = start + datetime.timedelta(minutes=45)
        lines = [
            "BEGIN:VEVENT",
            "UID:bench-%d@pim.example" % i,
            "DTSTAMP:20240101T000000Z",
            "SUMMARY:Appointment %d" % i,
            "LOCATION:Room %d" % (i % 40),
            "DTSTART:" + start.strftime("%Y%m%dT%H%M%SZ"),
            "DTEND:" + end.strftime("%Y%m%dT%H%M%SZ"),
        ]
        if i % 10 == 3:
            lines.append("RRULE:FREQ=WEEKLY")
        if i % 3 == 0:
            lines.append("ATTENDEE;CN=Ana Lima;ROLE=REQ-PARTICIPANT:mailto:ana.lima@example.com")
            lines.append("ATTENDEE;CN=Ben Okafor;ROLE=OPT-PARTICIPANT:mailto:ben.okafor@example.com")
        lines.append("END:VEVENT")
        yield i, "\r\n".join(lines) + "\r\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("count", type=int)
    ap.add_argument("ics")
    ap.add_argument("--vdir")
    a = ap.parse_args()
    if a.vdir:
        os.makedirs(a.vdir, exist_ok=True)
    with open(a.ics, "w", newline="") as out:
        out.write(HEAD)
        for i, text in events(a.count):
            out.write(text)
            if a.vdir:
                with open(os.path.join(a.vdir, "bench-%d.ics" % i), "w", newline="") as one:
                    one.write(HEAD + text + TAIL)
        out.write(TAIL)


if __name__ == "__main__":
    main()
