"""wine_observation.py - what a run under Wine did, in the form the judge
(edcca-sim --judge, sim/judge/observation.h) reads: standard output with
CR LF read as LF, the exit code, regedit's exports of the trees the program
may write before and after the run (the judge finds the changes), the
requests the test driver answered, and, for timed
scenarios, how many attempts late each change the test driver made took
effect, read from the driver's own log rather than from the wall clock.
"""

import contextlib
import os
import struct

import wine_prefix
import wine_machine
from wine_machine import SERVICE_KEY

# Where the program may leave a mark: both registry layouts of the network
# adapters (the driver keys live in the first).
WATCHED_TREES = [wine_machine.CCS + "\\Control\\Class", wine_machine.CCS + "\\Services\\Class"]
LOG_RECORD, CHANGE_RECORD, LISTING_RECORD = struct.Struct("<12I"), struct.Struct("<4IQQ"), struct.Struct("<IIQ")
LOG_FIELDS = ["sequence", "ms", "major", "code", "oid", "inSize", "outSize", "prefilled0", "prefilled1", "prefilled2",
              "status", "bytesReturned"]
CHANGE_KINDS = {1: "event", 2: "fileAppears", 3: "fileGoes"}
MS = 10000  # FILETIME units a millisecond


def export_key(prefix, key, path):
    """Exports a key with regedit /E to path. Returns whether the key exists."""
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)
    return wine_prefix.wine(prefix, "regedit", "/E", wine_prefix.to_windows_path(path), key, check=False) == 0 and \
        os.path.exists(path)


def export_tree(prefix, key, work_dir):
    """The keys and values under one key, read back with regedit /E and
    edcca-sim, as the scenarios' .reg files are: {key: {value name: (type,
    bytes)}}, text as the A functions read it; "" names the default value."""
    path = os.path.join(work_dir, "export.reg")
    if not export_key(prefix, key, path):
        return {}  # no such key
    # edcca-sim reads a UTF-16 export in code page 1252 only: what 1252 lacks
    # (a localized machine's names) is read here as "?".
    with open(path, "rb") as f:
        text = f.read().decode("utf-16")
    with open(path, "wb") as f:
        f.write(text.encode("cp1252", "replace").decode("cp1252").encode("utf-16"))
    return {"HKEY_LOCAL_MACHINE\\" + key["key"]: {v["name"]: (v["type"], bytes.fromhex(v["data"])) for v in key["values"]}
            for key in wine_machine.edcca_sim("--reg-json", path)}


def export_watched(prefix, work_dir, name):
    """The watched trees exported for the judge, which finds the changes
    between two such exports: the paths of those that exist."""
    paths = [os.path.join(work_dir, "%s-%d.reg" % (name, n)) for n in range(len(WATCHED_TREES))]
    return [path for path, tree in zip(paths, WATCHED_TREES) if export_key(prefix, tree, path)]


def records(data, layout):
    return [layout.unpack_from(data, at) for at in range(0, len(data) - layout.size + 1, layout.size)]


def driver_logs(prefix, work_dir, count):
    """The test driver's logs: the requests of its count adapters, in order;
    the changes it made (registry events, device files appearing and going),
    each with the system times between which it was made; the listings of
    the program it saw, each with its time (the time of the listing, not of
    the driver's look); and the number of attempts it counted as it went
    (None: it kept no count)."""
    tree = export_tree(prefix, SERVICE_KEY + "\\Parameters", work_dir)
    requests = []
    for index in range(count):
        log = tree.get("%s\\Parameters\\Adapters\\%d" % (SERVICE_KEY, index), {}).get("Log", (3, b""))[1]
        for values in records(log, LOG_RECORD):
            record = dict(zip(LOG_FIELDS, values), adapter=index)
            record["prefilled"] = [record["prefilled%d" % i] for i in range(min(3, record["outSize"] // 4))]
            requests.append(record)
    parameters = tree.get(SERVICE_KEY + "\\Parameters", {})
    counted = parameters.get("Attempts")
    counted = struct.unpack("<I", counted[1])[0] if counted and counted[0] == 4 else None
    changes = [{"sequence": sequence, "kind": CHANGE_KINDS.get(kind, kind), "index": index, "madeFrom": made_from,
                "madeUntil": made_until}
               for sequence, _, kind, index, made_from, made_until in
               records(parameters.get("Changes", (3, b""))[1], CHANGE_RECORD)]
    listings = [dict(zip(("sequence", "attempt", "time"), values))
                for values in records(parameters.get("Listings", (3, b""))[1], LISTING_RECORD)]
    return sorted(requests, key=lambda r: r["sequence"]), changes, listings, counted


def due_attempt(ms):
    """The attempt (from 0) at whose listing a change due at ms is in place."""
    return -(-ms // 200)


def scheduled_changes(scenario):
    """The timed changes a scenario asks of the test driver, as {(kind, index):
    [(attempt, what)]}, in the order the driver makes them."""
    schedule = {("event", n): [(due_attempt(event["at"]), "event %d" % n)] for n, event in enumerate(scenario["events"])}
    for n, driver in enumerate(scenario["drivers"]):
        schedule[("file", n)] = [step for start, until in driver["loaded"] for step in
                                 [(due_attempt(start), "device file %d appears" % n)] +
                                 ([(due_attempt(until), "device file %d goes" % n)] if until is not None else [])]
    return schedule


def attempt_shapes(attempts):
    """For each attempt (as the judge cuts the trace): how often it listed
    the devices, and how many of its queries reached the driver (an open
    that failed sends none)."""
    return [(text.count("--> GetAvailableAdapters()\n") - text.count("return ZOWL_ERROR_UNKNOWN") -
             text.count("devs == INVALID_HANDLE_VALUE"),
             text.count("Offset 0x38 = ") - text.count("Mac file failed!"))
            for text in attempts]


def place_listings(report, attempts):
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
    events = sorted([(r["sequence"], "query", r) for r in report["driverRequests"] if r["major"]] +
                    [(l["sequence"], "listing", l) for l in report["driverListings"]], key=lambda e: e[0])
    shapes = attempt_shapes(attempts)
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
    for change in report["driverChanges"]:
        change["attempts"] = change_attempts(change, starts)
        made.setdefault(("event" if change["kind"] == "event" else "file", change["index"]), []).append(change["attempts"])
    readings = [{}]
    for key, steps in scheduled_changes(scenario).items():
        effective = made.get(key, [])
        for number, (due, what) in enumerate(steps):
            if number >= len(effective):
                # Only a change due while the program still ran is owed.
                if due < len(starts):
                    problems.append("%s: the driver never made it" % what)
                continue
            possible = [shown for shown in effective[number] if shown >= due]
            if not possible:
                problems.append("%s: made for attempt %d, scheduled for %d" % (what, effective[number][-1], due))
                continue
            readings = [{**reading, **({due: max(reading.get(due, 0), shown - due)} if shown > due else {})}
                        for reading in readings for shown in possible]
    return [r for n, r in enumerate(readings) if r not in readings[:n]], problems


def answer_at(scenario, adapter, oid, ms):
    """The index of the driver's answer in force for oid at ms (None: none)."""
    listed = scenario["drivers"][adapter]["answers"] if adapter < len(scenario["drivers"]) else {}
    answers = next((a for key, a in listed.items() if int(key, 0) == oid), [])
    due = [n for n, answer in enumerate(answers) if answer["at"] <= ms]
    return due[-1] if due else None


def request_times(scenario, report, query_attempts):
    """Whether each query was answered as of its own attempt. A query
    answered as of another attempt is a fault only where the answer in force
    differs between the two."""
    return ["a query of attempt %d was answered as of %d ms" % (query_attempts[q["sequence"]], q["ms"])
            for q in report["driverRequests"] if q["sequence"] in query_attempts and
            answer_at(scenario, q["adapter"], q["oid"], q["ms"]) !=
            answer_at(scenario, q["adapter"], q["oid"], query_attempts[q["sequence"]] * 200)]


def log_lines(report):
    """The test driver's logs, a line a record, to show with a failed run."""
    origin = report["driverListings"][0]["time"] if report["driverListings"] else 0
    lines = ["driver counted %s attempts as it went; listings (attempt it counted, ms after the first):" %
             report["driverAttempts"]]
    lines += ["  %d %8.1f ms" % (l["attempt"], (l["time"] - origin) / MS) for l in report["driverListings"]]
    lines.append("changes (by the program's listings; ms after the first listing):")
    lines += ["  first shown at attempt %s: %s %d at %.1f ms" % (" or ".join(map(str, c.get("attempts", ["?"]))),
                                                                 c["kind"], c["index"], (c["madeFrom"] - origin) / MS)
              for c in report["driverChanges"]]
    lines.append("requests (adapter, time as the driver read it):")
    lines += ["  %d %5d ms %s: 0x%08X" % (r["adapter"], r["ms"], "query 0x%(oid)08X in %(inSize)d out %(outSize)d" % r
                                          if r["major"] else "open", r["status"]) for r in report["driverRequests"]]
    return lines


def read_timing(scenario, report, attempts):
    """How a timed run's changes took effect, from the driver's logs and the
    program's attempts (as the judge cut its trace): every reading of the
    late changes as the judge's lateAttempts, and the problems that make the
    run no run of the scenario (a change made early or never, a query
    answered as of another attempt)."""
    starts, query_attempts, problems = place_listings(report, attempts)
    if problems:
        return [{}], problems
    readings, problems = attempt_delays(scenario, report, starts)
    problems += request_times(scenario, report, query_attempts)
    return [{str(due): late for due, late in sorted(reading.items())} for reading in readings], problems


def observe(session, before, run, scenario):
    """The observation of one run (the registry exports before and after
    it, for the judge to compare), the driver's logs, and the problems that
    make it no run of the scenario (standard output not in text mode)."""
    trace = run["stdout"].replace("\r\n", "\n")
    requests, changes, listings, counted = driver_logs(session.prefix, session.work_dir, len(scenario["drivers"]))
    report = dict(run, trace=trace, driverChanges=changes, driverListings=listings, driverAttempts=counted,
                  driverRequests=requests)
    problems = []
    if "\n" in run["stdout"].replace("\r\n", ""):
        problems.append("standard output has a line feed without a carriage return (not the C runtime's text mode)")
    requests = [{"device": scenario["drivers"][r["adapter"]]["device"], "code": r["code"], "oid": r["oid"],
                 "inSize": r["inSize"], "outSize": r["outSize"], "prefilled": r["prefilled"]}
                for r in report["driverRequests"] if r["major"]]
    observation = {"stdout": trace, "exitCode": run["exitCode"], "lateAttempts": {}, "driverRequests": requests,
                   "registryBefore": before,
                   "registryAfter": export_watched(session.prefix, session.work_dir, "after")}
    return observation, report, problems
