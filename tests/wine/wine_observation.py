"""wine_observation.py - what a run under Wine did, in the form the judge
(edcca-sim --judge, sim/judge/observation.h) reads: standard output with
CR LF read as LF, the exit code, the registry changes under the trees the
program may write, the requests the test driver answered, and, for timed
scenarios, how many attempts late each change the test driver made took
effect, read from the driver's own log rather than from the wall clock.
"""

import contextlib
import os
import struct

import wine_prefix
import wine_machine
from wine_machine import CCS, SERVICE_KEY, parse_number

# Where the program may leave a mark: both registry layouts of the network
# adapters (the driver keys live in the first).
WATCHED_TREES = [CCS + "\\Control\\Class", CCS + "\\Services\\Class"]


LOG_RECORD = struct.Struct("<12I")


LOG_FIELDS = ["sequence", "ms", "major", "code", "oid", "inSize", "outSize", "prefilled0", "prefilled1", "prefilled2", "status",
              "bytesReturned"]


CHANGE_RECORD = struct.Struct("<4IQQ")


LISTING_RECORD = struct.Struct("<IIQ")


CHANGE_KINDS = {1: "event", 2: "fileAppears", 3: "fileGoes"}


# --------------------------------------------------------------------------
# The registry, as regedit /E exports it


def export_tree(prefix, key, work_dir):
    """The keys and values under one key, read back with regedit /E."""
    path = os.path.join(work_dir, "export.reg")
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)
    if wine_prefix.wine(prefix, "regedit", "/E", wine_prefix.to_windows_path(path), key, check=False) != 0 or not os.path.exists(path):
        return {}  # no such key
    # Read by edcca-sim, as the scenarios' .reg files are: {key: {value name:
    # (type, bytes)}}, text as the A functions read it; "" names the default value.
    return {"HKEY_LOCAL_MACHINE\\" + key["key"]: {v["name"]: (v["type"], bytes.fromhex(v["data"])) for v in key["values"]}
            for key in wine_machine.edcca_sim("--reg-json", path)}


def watched_registry(prefix, work_dir):
    keys = {}
    for tree in WATCHED_TREES:
        keys.update(export_tree(prefix, tree, work_dir))
    return keys


def registry_changes(before, after):
    """Every key added or removed and every value set or removed, in the
    simulated host's form (docs/scenario-format.md, expect.registryChanges)."""
    changes = []
    for key in sorted(set(before) | set(after), key=str.upper):
        path = key.split("\\", 1)[1]
        if key not in before or key not in after:
            changes.append({"key": path, "change": "keyAdded" if key in after else "keyDeleted"})
        old, new = before.get(key, {}), after.get(key, {})
        for name in sorted(set(old) | set(new), key=str.upper):
            if old.get(name) == new.get(name):
                continue
            entry = {"key": path, "value": name}
            if name not in new:
                entry["change"] = "valueDeleted"
            else:
                type_number, data = new[name]
                entry["type"] = type_number
                if type_number in (1, 2) and data.endswith(b"\0") and b"\0" not in data[:-1]:
                    entry["text"] = data[:-1].decode("latin-1")
                elif type_number == 4 and len(data) == 4:
                    entry["dword"] = struct.unpack("<I", data)[0]
                else:
                    entry["hex"] = " ".join("%02x" % byte for byte in data)
            changes.append(entry)
    return changes


# --------------------------------------------------------------------------
# The test driver's logs


def driver_requests(prefix, work_dir, count):
    """The test driver's log of every adapter: a list of records, in order."""
    tree = export_tree(prefix, SERVICE_KEY + "\\Parameters\\Adapters", work_dir)
    requests = []
    for index in range(count):
        values = tree.get("%s\\Parameters\\Adapters\\%d" % (SERVICE_KEY, index), {})
        log = values.get("Log", (3, b""))[1]
        for at in range(0, len(log) - LOG_RECORD.size + 1, LOG_RECORD.size):
            record = dict(zip(LOG_FIELDS, LOG_RECORD.unpack_from(log, at)))
            entry = {"sequence": record["sequence"], "adapter": index, "ms": record["ms"]}
            if record["major"] == 0:
                entry.update({"request": "open", "status": "0x%08X" % record["status"]})
            else:
                entry.update({"request": "ioctl", "code": "0x%08X" % record["code"], "oid": "0x%08X" % record["oid"],
                              "inSize": record["inSize"], "outSize": record["outSize"],
                              "prefilled": ["0x%08X" % record["prefilled%d" % i] for i in range(record["outSize"] // 4)][:3],
                              "status": "0x%08X" % record["status"], "bytesReturned": record["bytesReturned"]})
            requests.append(entry)
    requests.sort(key=lambda r: r["sequence"])
    return requests


def driver_changes(prefix, work_dir):
    """The test driver's log of the changes it made (registry events, device
    files appearing and going), each with the system times between which it
    was made; the listings of the program it saw, each with its time (the
    time of the listing, not of the driver's look); and the number of
    attempts it counted as it went (None: it kept no count)."""
    tree = export_tree(prefix, SERVICE_KEY + "\\Parameters", work_dir)
    parameters = tree.get(SERVICE_KEY + "\\Parameters", {})
    counted = parameters.get("Attempts")
    counted = struct.unpack("<I", counted[1])[0] if counted and counted[0] == 4 else None
    log = parameters.get("Changes", (3, b""))[1]
    changes = []
    for at in range(0, len(log) - CHANGE_RECORD.size + 1, CHANGE_RECORD.size):
        sequence, _, kind, index, made_from, made_until = CHANGE_RECORD.unpack_from(log, at)
        changes.append({"sequence": sequence, "kind": CHANGE_KINDS.get(kind, kind), "index": index,
                        "madeFrom": made_from, "madeUntil": made_until})
    log = parameters.get("Listings", (3, b""))[1]
    listings = [dict(zip(("sequence", "attempt", "time"), LISTING_RECORD.unpack_from(log, at)))
                for at in range(0, len(log) - LISTING_RECORD.size + 1, LISTING_RECORD.size)]
    return changes, listings, counted


def scheduled_changes(scenario):
    """The timed changes a scenario asks of the test driver, as {(kind, index):
    [(attempt, what)]}: the attempt (from 0) at whose listing each must be in
    place, in the order the driver makes them."""
    schedule = {}
    for index, event in enumerate(scenario.get("events", [])):
        schedule[("event", index)] = [(-(-parse_number(event["atMs"]) // 200), "event %d" % index)]
    for index, driver in enumerate(scenario.get("drivers", [])):
        spans = driver.get("loaded", [[0, None]])
        steps = []
        for start, until in spans:
            steps.append((-(-parse_number(start) // 200), "device file %d appears" % index))
            if until is not None:
                steps.append((-(-parse_number(until) // 200), "device file %d goes" % index))
        schedule[("file", index)] = steps
    return schedule


def attempt_shapes(trace):
    """For each attempt of a trace: how often it listed the devices, and how
    many of its queries reached the driver (an open that failed sends none)."""
    _, attempts = split_attempts(trace)
    return [(text.count("--> GetAvailableAdapters()\n") - text.count("return ZOWL_ERROR_UNKNOWN") -
             text.count("devs == INVALID_HANDLE_VALUE"),
             text.count("Offset 0x38 = ") - text.count("Mac file failed!")) for text in attempts]


MS = 10000  # FILETIME units a millisecond


def place_listings(report):
    """Which attempt each listing and each query the driver saw belongs to,
    worked out from the program's own trace rather than from how long its
    listings took: for each attempt the system times between which its first
    listing came, the attempt of each query (by sequence number), and the
    problems (listings and queries that do not fit the trace). A query
    reaches the driver only after its attempt's listings, before the next
    attempt's. Listings the driver did not look between leave one mark, with
    the last one's time: two of one attempt, or, when its polling thread was
    held up, those of attempts without queries, which the program's 200 ms
    pauses keep apart; such an attempt's listing came at an unknown time
    between its neighbours'."""
    events = sorted([(r["sequence"], "query", r) for r in report["driverRequests"] if r["request"] == "ioctl"] +
                    [(l["sequence"], "listing", l) for l in report["driverListings"]], key=lambda e: e[0])
    shapes = attempt_shapes(report["trace"])
    starts, query_attempts, at, earliest = [], {}, 0, 0
    for attempt, (listings, queries) in enumerate(shapes):
        if listings < 1 or at >= len(events) or events[at][1] != "listing":
            return starts, query_attempts, ["attempt %d: the driver saw no listing of it: its log cannot place the "
                                            "changes" % attempt]
        mark = events[at][2]["time"]
        marks_left = sum(1 for event in events[at:] if event[1] == "listing")
        if (listings == 1 and not queries and marks_left < len(shapes) - attempt and starts and
                mark - earliest >= 200 * MS):
            starts.append((earliest, mark - 200 * MS))  # its mark was overwritten by a later listing's
            earliest += 200 * MS
            continue
        starts.append((mark, mark))
        earliest = mark + 200 * MS
        at += 1
        later_listings = sum(shape[0] for shape in shapes[attempt + 1:])
        later_marks = sum(1 for event in events[at:] if event[1] == "listing")
        if listings == 2 and at < len(events) and events[at][1] == "listing" and (
                queries or later_marks > later_listings or (events[at][2]["time"] - mark) < 200 * MS):
            at += 1
        for _ in range(queries):
            if at >= len(events) or events[at][1] != "query":
                return starts, query_attempts, ["attempt %d: its queries and the driver's listings disagree: its "
                                                "log cannot place the changes" % attempt]
            query_attempts[events[at][0]] = attempt
            at += 1
    extra = sum(1 for event in events[at:] if event[1] == "listing")
    return starts, query_attempts, (["the driver saw %d listings the program did not make" % extra] if extra else [])


def change_attempts(change, starts):
    """The attempts at which a change can first have shown: the one after
    the attempt whose first listing came last before it, or, when a listing
    may have come while it was being made, that listing's attempt or the
    next (nobody can tell which)."""
    for n, (low, high) in enumerate(starts):
        if low <= change["madeUntil"] and high >= change["madeFrom"]:
            return [n, n + 1]
    return [1 + max((n for n, (_, high) in enumerate(starts) if high < change["madeFrom"]), default=-1)]


def attempt_delays(scenario, report, starts):
    """When each timed change really took effect, read from the driver's log
    rather than the wall clock: every reading of it as {scheduled attempt:
    attempts late} for the changes a busy scheduler delayed (more than one
    when a change raced a listing), and the problems found (a change made
    early, or never made though due before the program's last attempt)."""
    made = {}
    problems = []
    for change in report.get("driverChanges", []):
        key = ("event" if change["kind"] == "event" else "file", change["index"])
        change["attempts"] = change_attempts(change, starts)
        made.setdefault(key, []).append(change["attempts"])
    readings = [{}]
    for key, steps in scheduled_changes(scenario).items():
        effective = made.get(key, [])
        for number, (attempt, what) in enumerate(steps):
            if number >= len(effective):
                # Only a change due while the program still ran is owed.
                if attempt < len(starts):
                    problems.append("%s: the driver never made it" % what)
                continue
            possible = [shown for shown in effective[number] if shown >= attempt]
            if not possible:
                problems.append("%s: made for attempt %d, scheduled for %d" % (what, effective[number][-1], attempt))
                continue
            readings = [{**reading, **({attempt: max(reading.get(attempt, 0), shown - attempt)}
                                       if shown > attempt else {})}
                        for reading in readings for shown in possible]
    unique = []
    for reading in readings:
        if reading not in unique:
            unique.append(reading)
    return unique, problems


def split_attempts(trace):
    """A trace cut before each "--> DetectAdapter()" line: what came before
    the first attempt, then one text per attempt."""
    parts = trace.split("--> DetectAdapter()\n")
    return parts[0], ["--> DetectAdapter()\n" + part for part in parts[1:]]


def answer_at(scenario, adapter, oid, ms):
    """The index of the driver's answer in force for oid at ms (None: none)."""
    listed = scenario["drivers"][adapter]["answers"] if adapter < len(scenario["drivers"]) else {}
    answers = next((a for key, a in listed.items() if parse_number(key) == parse_number(oid)), [])
    due = [n for n, answer in enumerate(answers) if parse_number(answer.get("atMs", 0)) <= ms]
    return due[-1] if due else None


def request_times(scenario, report, query_attempts):
    """Whether each query was answered as of its own attempt. A query
    answered as of another attempt is a fault only where the answer in force
    differs between the two."""
    problems = []
    for query in report["driverRequests"]:
        attempt = query_attempts.get(query["sequence"])
        if attempt is None:
            continue
        oid = query["oid"]
        if answer_at(scenario, query["adapter"], oid, query["ms"]) != answer_at(scenario, query["adapter"], oid,
                                                                                attempt * 200):
            problems.append("a query of attempt %d was answered as of %d ms" % (attempt, query["ms"]))
    return problems


def log_lines(report):
    """The test driver's logs, a line a record, to show with a failed run."""
    origin = report["driverListings"][0]["time"] if report["driverListings"] else 0
    lines = ["driver counted %s attempts as it went; listings (attempt it counted, ms after the first):" %
             report["driverAttempts"]]
    lines += ["  %d %8.1f ms" % (l["attempt"], (l["time"] - origin) / 10000) for l in report["driverListings"]]
    lines.append("changes (by the program's listings; ms after the first listing):")
    lines += ["  first shown at attempt %s: %s %d at %.1f ms" % (" or ".join(map(str, c.get("attempts", ["?"]))),
                                                                 c["kind"], c["index"], (c["madeFrom"] - origin) / MS)
              for c in report["driverChanges"]]
    lines.append("requests (adapter, time as the driver read it):")
    for request in report["driverRequests"]:
        what = "open" if request["request"] == "open" else "query %(oid)s in %(inSize)d out %(outSize)d" % request
        lines.append("  %d %5d ms %s: %s" % (request["adapter"], request["ms"], what, request["status"]))
    return lines


def observe(session, before, run, scenario, adapters):
    """The observation of one run, and the problems that make it no run of
    the scenario at all (a change the driver made early or never, a query
    answered as of another attempt, standard output not in text mode)."""
    trace = run["stdout"].replace("\r\n", "\n")
    changes, listings, counted = driver_changes(session.prefix, session.work_dir)
    report = {"trace": trace, "driverRequests": driver_requests(session.prefix, session.work_dir, adapters),
              "driverChanges": changes, "driverListings": listings, "driverAttempts": counted}
    readings, problems = [{}], []
    if scenario["timed"]:
        starts, query_attempts, problems = place_listings(report)
        if not problems:
            readings, problems = attempt_delays(scenario, report, starts)
            problems += request_times(scenario, report, query_attempts)
    if "\n" in run["stdout"].replace("\r\n", ""):
        problems.append("standard output has a line feed without a carriage return (not the C runtime's text mode)")
    changes = registry_changes(before, watched_registry(session.prefix, session.work_dir))
    requests = [{"device": scenario["drivers"][r["adapter"]]["deviceName"], "code": int(r["code"], 16),
                 "oid": int(r["oid"], 16), "inSize": r["inSize"], "outSize": r["outSize"],
                 "prefilled": [int(word, 16) for word in r["prefilled"]]}
                for r in report["driverRequests"] if r["request"] == "ioctl"]
    observation = {"stdout": trace, "exitCode": run["exitCode"], "registryChanges": changes,
                   "lateAttempts": {}, "driverRequests": requests}
    report["lateReadings"] = [{str(attempt): late for attempt, late in sorted(reading.items())}
                              for reading in readings]
    return observation, report, problems
