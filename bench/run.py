#!/usr/bin/env python3
"""Side-by-side benchmark: our archive, Orthanc (Debian's package) and DCMTK's
storescp, in one run, with the same clients for each. Run through bench/run.sh.

Everything lives in one temporary folder: the generated images, each server's
storage, the destinations of the C-MOVEs. Prints each figure with its ratio to
Orthanc and to storescp and writes them to bench/RESULTS.md (the "Figures"
section; the notes below it are kept)."""

import argparse
import json
import os
import platform
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.join(ROOT, "build", "bin")
SCU = "BENCHSCU"
OURS_AE, ORTHANC_AE = "TALMIR", "ORTHANC"
DEST_JLS, DEST_RAW = "DESTJLS", "DESTRAW"
CT_ROOT = "1.2.826.0.1.3680043.10.99.1."
SERVER = [os.path.join(BIN, "talmir-pacsd")]


def free_port():
    # Only the ports of peers that cannot take port 0 (storescp, Orthanc).
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise SystemExit("timed out waiting for " + what)


def echo_ok(port, ae):
    return subprocess.run(["echoscu", "-aet", SCU, "-aec", ae, "127.0.0.1", str(port)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def du(*paths):
    total = 0
    for path in paths:
        if os.path.isfile(path):
            total += os.path.getsize(path)
        for top, _, files in os.walk(path):
            for name in files:
                try:
                    total += os.path.getsize(os.path.join(top, name))
                except OSError:
                    pass
    return total


def count_files(path):
    return sum(len(files) for _, _, files in os.walk(path))


class Servers:
    def __init__(self, work):
        self.work = work
        self.procs = []

    def spawn(self, args, log, **kw):
        out = open(os.path.join(self.work, log), "w")
        proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, **kw)
        self.procs.append(proc)
        return proc

    def stop_all(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        for proc in self.procs:
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()


def start_storescp(servers, folder, log, extra=()):
    os.makedirs(folder, exist_ok=True)
    port = free_port()
    proc = servers.spawn(["storescp", *extra, "-od", folder, str(port)], log)
    wait_until("storescp", lambda: echo_ok(port, "ANY"))
    return proc, port


# The JPEG-lossless destination: storescp with a profile taking both lossless
# JPEG syntaxes (process 14 and its first-order form) and the uncompressed
# ones; "+xa" alone takes only the first-order form.
LOSSLESS_PROFILE = """[[TransferSyntaxes]]
[Uncompressed]
TransferSyntax1 = LocalEndianExplicit
TransferSyntax2 = LittleEndianImplicit
[LosslessJpeg]
TransferSyntax1 = 1.2.840.10008.1.2.4.57
TransferSyntax2 = 1.2.840.10008.1.2.4.70
TransferSyntax3 = LocalEndianExplicit
TransferSyntax4 = LittleEndianImplicit
[[PresentationContexts]]
[LosslessJpegScp]
PresentationContext1 = VerificationSOPClass\\Uncompressed
PresentationContext2 = CTImageStorage\\LosslessJpeg
PresentationContext3 = MRImageStorage\\LosslessJpeg
PresentationContext4 = SecondaryCaptureImageStorage\\LosslessJpeg
[[Profiles]]
[LosslessJpeg]
PresentationContexts = LosslessJpegScp
"""


def lossless_profile(work):
    path = os.path.join(work, "storescp-lossless.cfg")
    with open(path, "w") as f:
        f.write(LOSSLESS_PROFILE)
    return ["-xf", path, "LosslessJpeg"]


def start_ours(servers, work, dest_ports):
    home, cfg = os.path.join(work, "ours"), os.path.join(work, "ours-cfg")
    os.makedirs(os.path.join(cfg, "PACS"), exist_ok=True)
    with open(os.path.join(cfg, "PACS", "PACS.ini"), "w") as f:
        f.write("[SERVER]\nPORT=0\n")
    env = dict(os.environ, XDG_CONFIG_HOME=cfg)
    log = os.path.join(work, "ours.log")
    proc = servers.spawn([SERVER[0], "--home", home], "ours.log", env=env)
    port = []

    def listening():
        m = re.search(r"Listening on port (\d+)", open(log, errors="replace").read())
        if m:
            port.append(int(m.group(1)))
        return bool(m)
    wait_until("our server", listening)
    db = os.path.join(home, "archive.db")
    rows = ";".join("INSERT INTO RemoteAETs VALUES('%s','127.0.0.1',%d)" % (ae, p) for ae, p in dest_ports.items())
    subprocess.run(["sqlite3", db, rows], check=True)
    wait_until("our server's echo", lambda: echo_ok(port[0], OURS_AE))
    return proc, port[0], home


def start_orthanc(servers, work, dest_ports):
    folder = os.path.join(work, "orthanc")
    os.makedirs(folder, exist_ok=True)
    port, http = free_port(), free_port()
    modalities = {ae: [ae, "127.0.0.1", p] for ae, p in dest_ports.items()}
    modalities[SCU] = [SCU, "127.0.0.1", 1]  # the benchmark's clients; it never calls back
    config = {
        "Name": "bench", "StorageDirectory": os.path.join(folder, "storage"),
        "IndexDirectory": os.path.join(folder, "index"), "HttpPort": http, "HttpServerEnabled": True,
        "RemoteAccessAllowed": False, "AuthenticationEnabled": False, "DicomAet": ORTHANC_AE,
        "DicomPort": port, "DicomModalities": modalities, "DicomCheckCalledAet": False, "Plugins": [],
        "SaveJobs": False, "StorageCompression": False, "LimitFindResults": 0, "LimitFindInstances": 0,
    }
    path = os.path.join(folder, "orthanc.json")
    with open(path, "w") as f:
        json.dump(config, f, indent=1)
    proc = servers.spawn(["Orthanc", path], "orthanc.log")
    wait_until("Orthanc", lambda: echo_ok(port, ORTHANC_AE))
    return proc, port, folder


def send(port, ae, folders, nagle=False):
    """Wall time of storescu over len(folders) parallel associations; `nagle`:
    the sender keeps Nagle's algorithm on, as DCMTK does unless told otherwise."""
    env = dict(os.environ)
    if nagle:
        env.pop("TCP_NODELAY", None)
    start = time.monotonic()
    procs = [subprocess.Popen(["storescu", "-aet", SCU, "-aec", ae, "+sd", "+r", "-R", "127.0.0.1", str(port), f],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env) for f in folders]
    for proc in procs:
        _, err = proc.communicate()
        if proc.returncode != 0:
            raise SystemExit("storescu to %s failed: %s" % (ae, err.decode(errors="replace")[-500:]))
    return time.monotonic() - start


def ours_count(home):
    out = subprocess.run(["sqlite3", os.path.join(home, "archive.db"), "select count(*) from ImageTable"],
                         capture_output=True, text=True)
    return int(out.stdout.strip() or 0)


def ours_settled(home):
    # Files waiting for their stored form have a marker IMAGES/_encode/*.encode
    # (markers of finished compressions wait there as *.free for reuse).
    queue = os.path.join(home, "IMAGES", "_encode")
    return not os.path.isdir(queue) or not any(n.endswith(".encode") for n in os.listdir(queue))


def orthanc_count(http):
    import urllib.request
    with urllib.request.urlopen("http://127.0.0.1:%d/statistics" % http) as r:
        return json.load(r)["CountInstances"]


def cpu_seconds(pid):
    """User and system time of a process so far (its threads included)."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


def vm_hwm(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024.0
    return 0.0


def move(port, ae, dest, study, dest_folder):
    # The last move's files are put aside, not deleted: a volume that has just
    # freed a few hundred files makes new ones slowly for a while, and that
    # would land on whoever moves next. Then nothing is left to write.
    if os.path.isdir(dest_folder):
        MOVED_ASIDE[0] += 1
        os.rename(dest_folder, "%s.done%d" % (dest_folder, MOVED_ASIDE[0]))
    os.makedirs(dest_folder)
    os.sync()
    start = time.monotonic()
    out = subprocess.run(["movescu", "-S", "-aet", SCU, "-aec", ae, "-aem", dest, "-k", "QueryRetrieveLevel=STUDY",
                          "-k", "StudyInstanceUID=" + study, "127.0.0.1", str(port)], capture_output=True, text=True)
    elapsed = time.monotonic() - start
    if out.returncode != 0:
        raise SystemExit("movescu from %s failed: %s" % (ae, out.stderr[-500:]))
    return elapsed


MOVED_ASIDE = [0]


def received(dest_folder, expected):
    # storescp has answered the last sub-operation once the move returns; the
    # files are all there by then.
    files = [os.path.join(t, n) for t, _, ns in os.walk(dest_folder) for n in ns]
    syntax = ""
    if files:
        out = subprocess.run(["dcmdump", "-M", "+P", "0002,0010", files[0]], capture_output=True, text=True)
        m = re.search(r"=(\w+)", out.stdout)
        syntax = m.group(1) if m else "?"
    return len(files), syntax


def find(port, ae, queries, studies):
    out = subprocess.run([os.path.join(BIN, "bench_find"), str(port), ae, SCU, str(queries), str(studies)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit("bench_find on %s failed: %s" % (ae, out.stderr))
    p50, p95, matches = out.stdout.split()
    return float(p50), float(p95), float(matches)


class Profiler:
    """perf record on one process for the duration of a step (--profile)."""

    def __init__(self, enabled, work):
        self.enabled, self.work, self.proc = enabled, work, None
        self.summaries = {}

    def start(self, pid, name):
        if not self.enabled:
            return
        self.data = os.path.join(self.work, name + ".perf")
        self.name = name
        self.proc = subprocess.Popen(["perf", "record", "-F", "499", "-g", "-p", str(pid), "-o", self.data],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # perf attaches asynchronously; nothing signals when it has

    def stop(self, out_dir):
        if not self.proc:
            return
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait()
        self.proc = None
        top = []
        for sort, limit in (("dso", 6), ("dso,symbol", 10)):
            report = subprocess.run(["perf", "report", "-i", self.data, "--no-children", "--sort", sort, "--stdio",
                                     "-g", "none", "--percent-limit", "1"], capture_output=True, text=True)
            rows = [" ".join(l.split()) for l in report.stdout.splitlines() if l.strip() and not l.startswith("#")]
            top += rows[:limit]
        self.summaries[self.name] = top
        print("profile %s:\n  %s" % (self.name, "\n  ".join(top)))


def machine():
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    mem = next((int(l.split()[1]) // 1024 for l in open("/proc/meminfo") if l.startswith("MemTotal")), 0)
    debian = open("/etc/debian_version").read().strip() if os.path.exists("/etc/debian_version") else "?"
    orthanc = subprocess.run(["Orthanc", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    dcmtk = subprocess.run(["storescu", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return "%s, %d cores, %d MB RAM, Debian %s, kernel %s; %s; %s" % (
        cpu, os.cpu_count(), mem, debian, platform.release(), orthanc, dcmtk.strip("$ "))


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--images", type=int, default=500, help="CT slices per series (ingest and C-MOVE)")
    ap.add_argument("--size", type=int, default=512, help="rows and columns of a slice")
    ap.add_argument("--studies", default="1000,4000", help="archive sizes for the C-FIND latency")
    ap.add_argument("--queries", type=int, default=300, help="C-FIND requests per measurement")
    ap.add_argument("--rounds", type=int, default=5, help="ingests of a new series, and C-MOVEs, per party and kind (median counts)")
    ap.add_argument("--profile", action="store_true", help="perf profile of our server per step")
    ap.add_argument("--results", default=os.path.join(ROOT, "bench", "RESULTS.md"))
    ap.add_argument("--server", default=SERVER[0], help="our server's binary (to measure an older build)")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    SERVER[0] = os.path.abspath(args.server)
    os.environ["TCP_NODELAY"] = "1"  # DCMTK reads it for every association; every party gets it
    sizes = [int(s) for s in args.studies.split(",")]
    work = tempfile.mkdtemp(prefix="talmir-bench-")
    servers = Servers(work)
    profiler = Profiler(args.profile, work)
    figures = {}
    try:
        t0 = time.monotonic()
        gen = os.path.join(BIN, "bench_samples")
        # One new series (patient and study) per round: "1" is the study the
        # C-MOVEs take; 2, 20, 21, ... and 3 (the Nagle run) keep theirs apart.
        rounds = max(1, args.rounds)
        ingest_sets = {"ingest1": [], "ingest4": []}
        for r in range(rounds):
            for label, tag in (("ingest1", "1" if r == 0 else "1%d" % (r - 1)), ("ingest4", "2" if r == 0 else "2%d" % (r - 1))):
                folder = os.path.join(work, "ct" + tag)
                subprocess.run([gen, "ct", folder, str(args.images), str(args.size), tag], check=True)
                if label == "ingest4":
                    parts = [os.path.join(folder, "part%d" % i) for i in range(4)]
                    for i, name in enumerate(sorted(os.listdir(folder))):
                        os.makedirs(parts[i % 4], exist_ok=True)
                        os.rename(os.path.join(folder, name), os.path.join(parts[i % 4], name))
                    ingest_sets[label].append(parts)
                else:
                    ingest_sets[label].append([folder])
        nagle_images = min(100, args.images)
        ct_nagle = os.path.join(work, "ct-nagle")
        subprocess.run([gen, "ct", ct_nagle, str(nagle_images), str(args.size), "3"], check=True)
        index_sets, first = [], 0
        for n in sizes:
            folder = os.path.join(work, "index%d" % n)
            subprocess.run([gen, "index", folder, str(first), str(n - first)], check=True)
            index_sets.append((n, folder))
            first = n
        print("data ready in %.0f s: %d x %d CT slices of %dx%d, %s index studies" % (
            time.monotonic() - t0, 2 * rounds, args.images, args.size, args.size, args.studies))

        dests = {DEST_JLS: start_storescp(servers, os.path.join(work, "dest-jls"), "dest-jls.log",
                                         lossless_profile(work))[1],
                 DEST_RAW: start_storescp(servers, os.path.join(work, "dest-raw"), "dest-raw.log")[1]}
        raw_proc, raw_port = start_storescp(servers, os.path.join(work, "storescp"), "storescp.log", ["--fork"])
        orthanc_proc, orthanc_port, orthanc_dir = start_orthanc(servers, work, dests)
        orthanc_http = json.load(open(os.path.join(orthanc_dir, "orthanc.json")))["HttpPort"]
        ours_proc, ours_port, ours_home = start_ours(servers, work, dests)
        targets = [("ours", ours_port, OURS_AE), ("orthanc", orthanc_port, ORTHANC_AE), ("storescp", raw_port, "ANY")]

        n = args.images
        # Each kind of ingest in rounds, a new series each, the parties taking
        # turns to go first; the median counts (one ingest of a second or so
        # on a shared machine varies by a tenth from one try to the next).
        pids = {"ours": ours_proc.pid, "orthanc": orthanc_proc.pid}
        for label in ("ingest1", "ingest4"):
            rates = {who: [] for who, _, _ in targets}
            settled = {who: [] for who, _, _ in targets}
            cpu = {who: [] for who in pids}
            for r, folders in enumerate(ingest_sets[label]):
                for who, port, ae in targets[r % 3:] + targets[:r % 3]:
                    # Every party starts on a volume with nothing left to write
                    # (the samples just made, the previous party's files).
                    os.sync()
                    if who == "ours" and r == 0:
                        profiler.start(ours_proc.pid, label)
                    start = time.monotonic()
                    before = cpu_seconds(pids[who]) if who in pids else 0.0
                    seconds = send(port, ae, folders)
                    rates[who].append(n / seconds)
                    if who in pids: # the server's own CPU time an image (storescp forks a process per association)
                        cpu[who].append(1000.0 * (cpu_seconds(pids[who]) - before) / n)
                    if who == "ours":
                        wait_until("the stored form", lambda: ours_settled(ours_home), 600)
                        settled[who].append(n / (time.monotonic() - start))
                        if r == 0:
                            profiler.stop(work)
                    else:
                        settled[who].append(n / seconds)
                    print("%-8s %-8s %7.1f img/s" % (label, who, n / seconds))
            for who in rates:
                figures[(label, who)] = sorted(rates[who])[len(rates[who]) // 2]
                figures[(label + "-settled", who)] = sorted(settled[who])[len(settled[who]) // 2]
                figures[(label + "-rounds", who)] = rates[who]
            for who in cpu:
                figures[(label + "-cpu", who)] = cpu[who]
        figures[("rss", "ours")] = vm_hwm(ours_proc.pid)
        stored = {"ours": ours_count(ours_home), "orthanc": orthanc_count(orthanc_http)}
        ingested = 2 * n * rounds
        if stored["ours"] != ingested or stored["orthanc"] != ingested:
            raise SystemExit("not every image was stored: %s" % stored)
        figures[("disk", "ours")] = du(os.path.join(ours_home, "IMAGES"), *[os.path.join(ours_home, f) for f in
                                       os.listdir(ours_home) if f.startswith("archive.db")]) / ingested
        figures[("disk", "orthanc")] = du(os.path.join(orthanc_dir, "storage"), os.path.join(orthanc_dir, "index")) / ingested
        figures[("disk", "storescp")] = du(os.path.join(work, "storescp")) / ingested

        # A modality whose sender leaves Nagle's algorithm on (DCMTK's default)
        # holds each data set behind its command until the receiver
        # acknowledges; a receiver that delays that acknowledgement makes every
        # image wait for it.
        for who, port, ae in targets:
            os.sync()
            figures[("ingest1-nagle", who)] = nagle_images / send(port, ae, [ct_nagle], nagle=True)
            print("%-8s %-8s %7.1f img/s" % ("nagle", who, figures[("ingest1-nagle", who)]))

        study = CT_ROOT + "1"
        for label, dest in (("move-jls", DEST_JLS), ("move-raw", DEST_RAW)):
            folder = os.path.join(work, "dest-jls" if dest == DEST_JLS else "dest-raw")
            # A storescp's first association of full-size images pays for its
            # own start-up (about 0.4 s here, whoever sends), so each party
            # first moves once untimed; then the rounds, the parties
            # alternating who goes first, and the median counts.
            for who, port, ae in targets[:2]:
                move(port, ae, dest, study, folder)
            rates = {"ours": [], "orthanc": []}
            for round_ in range(rounds):
                order = targets[:2] if round_ % 2 == 0 else targets[1::-1]
                for who, port, ae in order:
                    if who == "ours" and round_ == 0:
                        profiler.start(ours_proc.pid, label)
                    seconds = move(port, ae, dest, study, folder)
                    if who == "ours" and round_ == 0:
                        profiler.stop(work)
                    count, syntax = received(folder, n)
                    if count != n:
                        raise SystemExit("%s moved %d of %d images to %s" % (who, count, n, dest))
                    rates[who].append(n / seconds)
                    figures[(label + "-syntax", who)] = syntax
            for who in rates:
                figures[(label, who)] = sorted(rates[who])[len(rates[who]) // 2]
                figures[(label + "-rounds", who)] = rates[who]
                print("%-8s %-8s %7.1f img/s (median of %s; %s)" % (
                    label, who, figures[(label, who)], ", ".join("%.0f" % r for r in rates[who]),
                    figures[(label + "-syntax", who)]))

        for studies, folder in index_sets:
            for who, port, ae in targets[:2]:
                send(port, ae, [folder])
                if who == "ours":
                    wait_until("the stored form", lambda: ours_settled(ours_home), 600)
                    profiler.start(ours_proc.pid, "find%d" % studies)
                p50, p95, matches = find(port, ae, args.queries, studies)
                if who == "ours":
                    profiler.stop(work)
                figures[("find%d-p50" % studies, who)] = p50
                figures[("find%d-p95" % studies, who)] = p95
                print("find %-5d %-8s p50 %.2f ms p95 %.2f ms (%.1f matches)" % (studies, who, p50, p95, matches))
                if matches < 1:
                    raise SystemExit("queries on %s found nothing" % who)
        figures["elapsed"] = time.monotonic() - t0
    finally:
        servers.stop_all()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("work folder kept:", work)
    write_results(args, sizes, figures)
    if profiler.summaries:
        path = os.path.splitext(args.results)[0] + "-profile.txt"
        with open(path, "w") as out:
            for name, top in profiler.summaries.items():
                out.write("== %s (our server, perf, self time)\n%s\n\n" % (name, "\n".join(top)))
        print("profiles written to", path)


def write_results(args, sizes, f):
    def ratio(a, b):
        return "%.2f" % (a / b) if a and b else "-"

    def row(name, key, unit, fmt="%.1f", raw=True):
        ours, orth = f.get((key, "ours")), f.get((key, "orthanc"))
        peer = f.get((key, "storescp")) if raw else None
        cell = lambda v: (fmt % v + " " + unit) if v is not None else "-"
        return "| %s | %s | %s | %s | %s | %s |" % (name, cell(ours), cell(orth), cell(peer), ratio(ours, orth),
                                                   ratio(ours, peer) if peer else "-")

    n = args.images
    rounds = max(1, args.rounds)
    lo, hi = sizes[0], sizes[-1]
    lines = [
        "Run of %s: %d CT slices of %dx%d (12 bits stored, noise) per series; C-FIND on %s studies, %d queries each; %.0f s in all." % (
            time.strftime("%Y-%m-%d %H:%M"), n, args.size, args.size, "/".join(map(str, sizes)), args.queries,
            f.get("elapsed", 0)),
        "", "Machine: " + machine(), "",
        "| measure | ours | Orthanc | storescp | ours/Orthanc | ours/storescp |", "|---|---|---|---|---|---|",
        row("ingest, 1 association (acknowledged), median of %d" % rounds, "ingest1", "img/s"),
        row("ingest, 1 association, until every file is in its stored form", "ingest1-settled", "img/s"),
        row("ingest, 4 associations (acknowledged), median of %d" % rounds, "ingest4", "img/s"),
        row("ingest, 4 associations, until every file is in its stored form", "ingest4-settled", "img/s"),
        row("ingest of %d more, 1 association, sender with Nagle on (DCMTK's default, no TCP_NODELAY)" % min(100, n),
            "ingest1-nagle", "img/s"),
        row("C-MOVE %d images to a storescp accepting JPEG Lossless (.57 and .70) and uncompressed, median of %d" % (n, rounds),
            "move-jls", "img/s", raw=False),
        row("C-MOVE %d images to an uncompressed-only storescp, median of %d" % (n, rounds), "move-raw", "img/s", raw=False),
    ]
    for s in sizes:
        lines.append(row("C-FIND STUDY p50, %d studies" % s, "find%d-p50" % s, "ms", "%.2f", raw=False))
        lines.append(row("C-FIND STUDY p95, %d studies" % s, "find%d-p95" % s, "ms", "%.2f", raw=False))
    for who in ("ours", "orthanc", "storescp"):
        if ("disk", who) in f:
            f[("disk", who)] /= 1024.0
    lines.append(row("bytes on disk per CT image (files + index, settled)", "disk", "kB", "%.0f"))
    lines.append("| peak resident memory after all ingests | %.0f MB | - | - | - | - |" % f.get(("rss", "ours"), 0))
    growth = lambda who: f.get(("find%d-p50" % hi, who), 0) / max(f.get(("find%d-p50" % lo, who), 1e-9), 1e-9)
    lines += ["", "C-FIND p50 growth from %d to %d studies: ours %.2fx, Orthanc %.2fx." % (lo, hi, growth("ours"),
                                                                                      growth("orthanc")),
              "Syntax received by the JPEG-Lossless destination: ours %s, Orthanc %s; by the uncompressed one: ours %s, Orthanc %s." % (
                  f.get(("move-jls-syntax", "ours")), f.get(("move-jls-syntax", "orthanc")),
                  f.get(("move-raw-syntax", "ours")), f.get(("move-raw-syntax", "orthanc"))),
              "Ingest rounds (img/s, a new series each): " + "; ".join(
                  "%s x%s %s" % (who, key[6:], "/".join("%.0f" % r for r in f.get((key + "-rounds", who), [])))
                  for key in ("ingest1", "ingest4") for who in ("ours", "orthanc", "storescp")),
              "Server CPU an image while ingesting (ms, user and system, per round): " + "; ".join(
                  "%s x%s %s" % (who, key[6:], "/".join("%.2f" % r for r in f.get((key + "-cpu", who), [])))
                  for key in ("ingest1", "ingest4") for who in ("ours", "orthanc")),
              "C-MOVE rounds (img/s, after one untimed move per party and destination): " + "; ".join(
                  "%s %s %s" % (who, key[5:], "/".join("%.0f" % r for r in f.get((key + "-rounds", who), [])))
                  for key in ("move-jls", "move-raw") for who in ("ours", "orthanc"))]
    text = "\n".join(lines)
    print("\n" + text)
    begin, end = "<!-- figures -->", "<!-- /figures -->"
    old = open(args.results).read() if os.path.exists(args.results) else "# Benchmark results\n\n%s\n%s\n" % (begin, end)
    if begin not in old:
        old += "\n%s\n%s\n" % (begin, end)
    head, rest = old.split(begin, 1)
    tail = rest.split(end, 1)[1] if end in rest else ""
    with open(args.results, "w") as out:
        out.write(head + begin + "\n" + text + "\n" + end + tail)
    print("\nwritten to", args.results)


if __name__ == "__main__":
    main()
