#!/usr/bin/python3
"""Writes the sweep's summary from the reports fetched into a report folder.

    summarize.py REPORT_DIR < outcomes.json

Standard input holds {"hosts": [name, ...], "outcomes": {name: {"reached", "status",
"fetched", "reason"}}}: the hosts of the play in inventory order and what the play saw of each.
The reports are REPORT_DIR/hosts/<name>.json. Writes REPORT_DIR/summary.json (when it was
written, UTC, and one row per host) and REPORT_DIR/summary.csv (one row per host), and prints
{"counts": {verdict: hosts}, "noReport": ["name: verdict: why", ...]}. A row with a report says
how many gaps it has and the first one's message: why the host is incomplete.

A host gets a verdict from its run only when it was reached, the scanner ended with 0, 2 or 3,
and its report was fetched in this sweep and agrees with that status; every other host is
unreachable or failed, never clean. A report that an earlier sweep left for a host that gave
none this time is removed, so that the folder holds this sweep's reports only.
"""

import csv
import datetime
import json
import os
import sys

VERDICTS = {0: "clean", 2: "incomplete", 3: "found"}
CSV_HEADER = ["host", "verdict", "exit_status", "findings", "gaps", "reason", "messages"]


def read_report(path):
    """Returns the report at `path` as a dict, or raises ValueError saying what is wrong."""
    try:
        with open(path, "rb") as f:
            report = json.loads(f.read().decode("utf-8"))
    except FileNotFoundError:
        raise ValueError("no report was fetched")
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError("the report cannot be read: %s" % error)
    if (not isinstance(report, dict) or not isinstance(report.get("findings"), list) or
            not isinstance(report.get("gaps"), list)):
        raise ValueError("the report is not a TVX report")
    return report


def host_row(host, outcome, report_dir):
    """Returns (the summary row of one host, why it gave no report or None)."""
    row = {"host": host, "verdict": "unreachable", "exitStatus": None, "findings": None,
           "gaps": None, "reason": "", "messages": []}
    if not outcome.get("reached"):
        return row, outcome.get("reason") or "not reached"
    status = outcome.get("status")
    row.update(verdict="failed", exitStatus=status)
    if status not in VERDICTS:
        return row, outcome.get("reason") or "the scanner did not run"
    if not outcome.get("fetched"):
        return row, outcome.get("reason") or "no report was fetched"
    try:
        report = read_report(os.path.join(report_dir, "hosts", host + ".json"))
    except ValueError as error:
        return row, outcome.get("reason") or str(error)
    if report.get("exitStatus") != status:
        return row, "the report's exit status differs from the run's"
    messages = [str(finding.get("message", "")) for finding in report["findings"]]
    gaps = report["gaps"]
    reason = str(gaps[0].get("message", "")) if gaps and isinstance(gaps[0], dict) else ""
    row.update(verdict=VERDICTS[status], findings=len(messages), gaps=len(gaps), reason=reason,
               messages=messages)
    return row, None


def write_replacing(path, text):
    """Writes `text` to `path` through a temporary file, so a reader never sees half of it."""
    with open(path + ".tmp", "w", encoding="utf-8", newline="") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def csv_text(rows):
    class Lines(list):
        write = list.append

    lines = Lines()
    writer = csv.writer(lines, lineterminator="\n")
    writer.writerow(CSV_HEADER)
    for row in rows:
        writer.writerow([row["host"], row["verdict"],
                         "" if row["exitStatus"] is None else row["exitStatus"],
                         "" if row["findings"] is None else row["findings"],
                         "" if row["gaps"] is None else row["gaps"], row["reason"],
                         " | ".join(row["messages"])])
    return "".join(lines)


def main():
    report_dir = sys.argv[1]
    swept_at = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    play = json.load(sys.stdin)
    rows, no_report = [], []
    for host in play["hosts"]:
        outcome = play["outcomes"].get(host) or {}
        row, reason = host_row(host, outcome, report_dir)
        rows.append(row)
        if not outcome.get("fetched"):
            try:
                os.remove(os.path.join(report_dir, "hosts", host + ".json"))
            except FileNotFoundError:
                pass
        if reason is not None:
            no_report.append("%s: %s: %s" % (host, row["verdict"], reason))
    write_replacing(os.path.join(report_dir, "summary.json"),
                    json.dumps({"sweptAt": swept_at, "hosts": rows}, indent=2,
                               ensure_ascii=False) + "\n")
    write_replacing(os.path.join(report_dir, "summary.csv"), csv_text(rows))
    counts = {verdict: sum(row["verdict"] == verdict for row in rows)
              for verdict in ("found", "clean", "incomplete", "unreachable", "failed")}
    print(json.dumps({"counts": counts, "noReport": no_report}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
