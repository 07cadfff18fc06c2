#!/usr/bin/env python3
"""Check that two builds of corvane write the same HLS ladders, byte for byte.

Meant for changes to the encoder's internal structure: such a change must not
alter a single byte of what it writes. The script builds two copies of the
module, each in its own virtual environment under the work directory:

  base     a committed revision (--base, default 90f5eb0), exported with
           `git archive`; its build is reused while it is already there
  current  the working tree as it is (tracked files plus untracked files that
           are not ignored), rebuilt on every run; or, with --current REV, a
           committed revision built like the base

It then makes nine short test sources with the ffmpeg tool (1080p 30 fps MP4,
720p 29.97 fps MP4, an MPEG-TS whose clock starts at 10 s, a 5.1 source, an
interlaced 25i MPEG-2 TS, a video without sound, 2 s of pictures with 12 s
of sound, a 1 fps time-lapse, an audio track whose packets give no sound),
a fixed 16-byte key and a key-info file with an
IV line (so every segment is deterministic), runs
`corvane.hls_encoder(source, "master.m3u8", key=keyinfo)` with the default
ladder for each source and each build in a child process kept on one CPU (the
H.264 encoders' capped rate control is reproducible only there), in a fresh
output directory, and compares:

  - every file written (same names, same bytes); for a rendition whose
    playlist or segments differ, the decoded pictures and samples too (framemd5
    through the media playlist, which decrypts the segments with the key);
  - the console lines, without their "[date time]" prefix, in order within
    each rendition (lines of different renditions may interleave differently
    from run to run), and the child's exit status.

It prints one line per source, IDENTICAL (N files) or what differs, and a
summary table. Exit status: 0 when every file of every source is identical,
1 when a file differs (differences in the console lines alone are reported
but do not change the status), 2 when something could not be built or made.

Usage (from anywhere; needs git, the ffmpeg tool, a compiler and FFmpeg's -dev
packages, as for `make build`, and PyPI for the build requirements):

  scripts/compare-builds.py                      # 90f5eb0 against the working tree
  scripts/compare-builds.py --base HEAD~3        # another base revision
  scripts/compare-builds.py --current 90f5eb0    # two revisions (here: same one)
  scripts/compare-builds.py --work /tmp/cmp --keep

  --work DIR   where the builds, sources and outputs go (default:
               build/compare in the repository; relative paths are taken from
               the current directory)
  --keep       keep the sources and output directories afterwards (outputs of
               a source that differs are always kept for inspection)
  --only NAME  compare only the named source(s); may be repeated
"""

import argparse
import collections
import difflib
import os
import re
import shutil
import subprocess
import sys
import time

DEFAULT_BASE = "90f5eb0"
RENDITION_NAMES = ("1080p", "720p", "480p", "360p")
KEY = bytes(range(16))
IV_HEX = "0f0e0d0c0b0a09080706050403020100"
STAMP = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ")
SEGMENT = re.compile(r"^(.+)_\d+\.ts$")

LAVFI_AUDIO = "sine=frequency=440:sample_rate=48000:beep_factor=4"
# Six different tones, one per channel, so a channel mix-up shows.
LAVFI_51 = ("aevalsrc=" + "|".join(
    "0.2*sin(2*PI*%d*t)" % f for f in (220, 330, 440, 550, 110, 660))
    + ":s=48000:c=5.1")
X264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "60"]
AAC = ["-c:a", "aac", "-b:a", "128k"]

# name -> (file name, ffmpeg arguments after "ffmpeg -y -v error").
SOURCES = collections.OrderedDict([
    ("1080p30", ("src_1080p30.mp4", [
        "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
        "-f", "lavfi", "-i", LAVFI_AUDIO, "-t", "8",
        *X264, *AAC, "-ac", "2"])),
    ("720p29.97", ("src_720p2997.mp4", [
        "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30000/1001",
        "-f", "lavfi", "-i", LAVFI_AUDIO, "-t", "8",
        *X264, *AAC, "-ac", "2"])),
    ("ts-offset10", ("src_offset10.ts", [
        "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
        "-f", "lavfi", "-i", LAVFI_AUDIO, "-t", "8",
        *X264, *AAC, "-ac", "2", "-output_ts_offset", "10", "-f", "mpegts"])),
    ("audio5.1", ("src_51.mp4", [
        "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30",
        "-f", "lavfi", "-i", LAVFI_51, "-t", "8",
        *X264, *AAC, "-b:a", "384k"])),
    ("interlaced25i", ("src_576i25.ts", [
        "-f", "lavfi", "-i", "testsrc2=size=720x576:rate=50",
        "-f", "lavfi", "-i", LAVFI_AUDIO, "-t", "8",
        "-vf", "tinterlace=interleave_top,fieldorder=tff",
        "-c:v", "mpeg2video", "-b:v", "6M", "-flags", "+ildct+ilme", "-top", "1",
        "-aspect", "16:9", "-pix_fmt", "yuv420p",
        *AAC, "-ac", "2", "-f", "mpegts"])),
    # The source stage's orderings between its two paths: silence as long as
    # the pictures, the last picture repeated as far as the sound goes, key
    # frames of a slow source, an audio track that gives no sound.
    ("video-only", ("src_video_only.mp4", [
        "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30", "-t", "6", *X264, "-an"])),
    ("sound-after", ("src_sound_after.mkv", [
        "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=2",
        "-f", "lavfi", "-i", LAVFI_AUDIO + ":duration=12", *X264, *AAC, "-ac", "2"])),
    ("1fps", ("src_1fps.mkv", [
        "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=1",
        "-f", "lavfi", "-i", LAVFI_AUDIO, "-t", "10", *X264, *AAC, "-ac", "2"])),
    ("soundless", ("src_soundless.mkv", [
        "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
        "-f", "lavfi", "-i", LAVFI_AUDIO, "-t", "4", *X264, *AAC, "-ac", "2",
        "-bsf:a", "noise=amount=1"])),
])

ENCODE = ("import sys, corvane; "
          "corvane.hls_encoder(sys.argv[1], 'master.m3u8', key=sys.argv[2])")


class SetupError(Exception):
    pass


def log(text=""):
    print(text, flush=True)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def repo_root():
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run(["git", "-C", here, "rev-parse", "--show-toplevel"],
                         check=True, capture_output=True, text=True)
    return out.stdout.strip()


def resolve(repo, rev):
    out = subprocess.run(["git", "-C", repo, "rev-parse", "--verify", "--quiet",
                          rev + "^{commit}"], capture_output=True, text=True)
    if out.returncode != 0:
        raise SetupError("unknown revision: " + rev)
    return out.stdout.strip()


# ---------------------------------------------------------------- builds

def export_revision(repo, sha, dest):
    os.makedirs(dest)
    archive = subprocess.Popen(["git", "-C", repo, "archive", sha],
                               stdout=subprocess.PIPE)
    run(["tar", "-x", "-C", dest], stdin=archive.stdout)
    archive.stdout.close()
    if archive.wait() != 0:
        raise SetupError("git archive %s failed" % sha)


def copy_working_tree(repo, dest):
    """Tracked files plus untracked files that are not ignored, as they are."""
    out = subprocess.run(["git", "-C", repo, "ls-files", "-z", "--cached",
                          "--others", "--exclude-standard"],
                         check=True, capture_output=True)
    count = 0
    for rel in sorted(set(out.stdout.decode().split("\0"))):
        src = os.path.join(repo, rel)
        if not rel or not os.path.lexists(src):  # deleted but still in the index
            continue
        dst = os.path.join(dest, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if os.path.islink(src):
            os.symlink(os.readlink(src), dst)
        elif os.path.isfile(src):
            shutil.copy2(src, dst)
            count += 1
    return count


def build_module(label, src_dir, venv_dir, log_path):
    """python3 -m venv, then pip install the tree; True when it imports."""
    t0 = time.monotonic()
    env = dict(os.environ)
    env.pop("CORVANE_SANITIZE", None)  # a plain release build, like `make build`
    env.pop("PYTHONPATH", None)
    with open(log_path, "w") as logf:
        steps = [
            [sys.executable, "-m", "venv", venv_dir],
            [os.path.join(venv_dir, "bin", "pip"), "install", "-q",
             "--disable-pip-version-check", src_dir],
            [os.path.join(venv_dir, "bin", "python"), "-c",
             "import corvane, sys; sys.stdout.write(corvane.__file__)"],
        ]
        for cmd in steps:
            logf.write("$ " + " ".join(cmd) + "\n")
            logf.flush()
            r = subprocess.run(cmd, stdout=logf, stderr=subprocess.STDOUT,
                               env=env, cwd=os.path.dirname(venv_dir))
            if r.returncode != 0:
                logf.close()
                with open(log_path) as f:
                    tail = f.read().splitlines()[-25:]
                log("  %s: build FAILED (%s); last lines of %s:" % (label, cmd[0], log_path))
                for line in tail:
                    log("    " + line)
                return False
    log("  %s: built in %.0f s" % (label, time.monotonic() - t0))
    return True


def prepare_revision(repo, work, label, sha):
    """Build of a committed revision, reused while its stamp says it is done."""
    home = os.path.join(work, "rev-" + sha[:12])
    venv = os.path.join(home, "venv")
    stamp = os.path.join(home, "built")
    python = os.path.join(venv, "bin", "python")
    if os.path.exists(stamp) and os.path.exists(python):
        with open(stamp) as f:
            ok = f.read().strip() == sha
        if ok and subprocess.run([python, "-c", "import corvane"], cwd=home,
                                 capture_output=True).returncode == 0:
            log("  %s: reusing the build of %s in %s" % (label, sha[:12], home))
            return python
    shutil.rmtree(home, ignore_errors=True)
    export_revision(repo, sha, os.path.join(home, "src"))
    log("  %s: building %s in %s ..." % (label, sha[:12], home))
    if not build_module(label, os.path.join(home, "src"), venv,
                        os.path.join(home, "build.log")):
        raise SetupError("%s (%s) does not build" % (label, sha[:12]))
    with open(stamp, "w") as f:
        f.write(sha + "\n")
    return python


def prepare_working_tree(repo, work):
    home = os.path.join(work, "worktree")
    shutil.rmtree(home, ignore_errors=True)
    n = copy_working_tree(repo, os.path.join(home, "src"))
    log("  current: building the working tree (%d files) in %s ..." % (n, home))
    if not build_module("current", os.path.join(home, "src"),
                        os.path.join(home, "venv"), os.path.join(home, "build.log")):
        raise SetupError("the working tree does not build")
    return os.path.join(home, "venv", "bin", "python")


# ---------------------------------------------------------------- inputs

def make_sources(work, names):
    """Writes the test sources (reused while made by the same command)."""
    sdir = os.path.join(work, "sources")
    os.makedirs(sdir, exist_ok=True)
    paths = {}
    for name in names:
        fname, args = SOURCES[name]
        path = os.path.join(sdir, fname)
        cmd = ["ffmpeg", "-nostdin", "-y", "-v", "error", *args, path]
        sidecar = path + ".cmd"
        want = "\0".join(cmd)
        if os.path.exists(path) and os.path.exists(sidecar):
            with open(sidecar) as f:
                if f.read() == want:
                    paths[name] = path
                    continue
        t0 = time.monotonic()
        r = subprocess.run(cmd, capture_output=True, text=True)
        if r.returncode != 0:
            raise SetupError("could not make source %s: %s" % (name, r.stderr.strip()))
        with open(sidecar, "w") as f:
            f.write(want)
        log("  source %-14s %s (%.1f s)" % (name, fname, time.monotonic() - t0))
        paths[name] = path
    return paths


def make_key(work):
    kdir = os.path.join(work, "key")
    os.makedirs(kdir, exist_ok=True)
    key = os.path.join(kdir, "key.bin")
    with open(key, "wb") as f:
        f.write(KEY)
    keyinfo = os.path.join(kdir, "enc.keyinfo")
    with open(keyinfo, "w") as f:
        f.write("key.bin\n%s\n%s\n" % (key, IV_HEX))
    return key, keyinfo


# ---------------------------------------------------------------- runs

def one_cpu():
    """Keeps a child on one CPU. The H.264 encoders' rate control (its
    buffer model) runs across their frame threads and depends on which
    picture finishes first, so on several cores the same build writes other
    bytes from run to run; on one core each encoder runs one thread and the
    output is reproducible."""
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def encode(python, source, keyinfo, outdir):
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    t0 = time.monotonic()
    r = subprocess.run([python, "-c", ENCODE, source, keyinfo], cwd=outdir,
                       capture_output=True, text=True, errors="replace", preexec_fn=one_cpu)
    return {"rc": r.returncode, "stdout": r.stdout, "stderr": r.stderr,
            "seconds": time.monotonic() - t0,
            "files": sorted(n for n in os.listdir(outdir)
                            if os.path.isfile(os.path.join(outdir, n)))}


def rendition_of(fname):
    m = SEGMENT.match(fname)
    if m:
        return m.group(1)
    if fname.endswith(".m3u8") and fname != "master.m3u8":
        return fname[:-len(".m3u8")]
    return None


def grouped_lines(text, stream, names):
    """Console lines without their time stamp, in order within each group: the
    rendition a line names, or "ladder" for lines naming none or several."""
    groups = collections.OrderedDict()
    for line in text.splitlines():
        line = STAMP.sub("", line)
        hits = {n for n in names if re.search(r"(?<![\w.])%s(?![\w])" % re.escape(n), line)}
        key = (stream, hits.pop() if len(hits) == 1 else "ladder")
        groups.setdefault(key, []).append(line)
    return groups


def compare_logs(a, b, names):
    """List of difference descriptions (empty when the consoles agree)."""
    out = []
    if a["rc"] != b["rc"]:
        out.append("exit status %d (base) vs %d (current)" % (a["rc"], b["rc"]))
    for stream in ("stdout", "stderr"):
        ga = grouped_lines(a[stream], stream, names)
        gb = grouped_lines(b[stream], stream, names)
        for key in sorted(set(ga) | set(gb)):
            la, lb = ga.get(key, []), gb.get(key, [])
            if la != lb:
                diff = list(difflib.unified_diff(la, lb, "base", "current", n=0,
                                                 lineterm=""))[2:]
                out.append("%s, %s lines:\n%s" % (key[0], key[1], "\n".join(
                    "        " + d for d in diff[:20])))
    return out


def same_bytes(p, q):
    if os.path.getsize(p) != os.path.getsize(q):
        return False
    with open(p, "rb") as f, open(q, "rb") as g:
        while True:
            x, y = f.read(1 << 20), g.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def framemd5(outdir, rendition, what, key):
    """framemd5 text of one stream type of a rendition, read through its media
    playlist (ffmpeg fetches the key by the playlist's key URI, key.bin)."""
    key_copy = os.path.join(outdir, "key.bin")
    placed = not os.path.exists(key_copy)
    if placed:
        shutil.copyfile(key, key_copy)
    try:
        r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-allowed_extensions",
                            "ALL", "-i", os.path.join(outdir, rendition + ".m3u8"),
                            "-map", "0:" + what, "-f", "framemd5", "-"],
                           capture_output=True, text=True)
    finally:
        if placed:
            os.remove(key_copy)
    if r.returncode != 0:
        return None, r.stderr.strip().splitlines()[-1:] or ["ffmpeg failed"]
    return r.stdout, None


def compare_decoded(dir_a, dir_b, rendition, what, key):
    label = {"v": "pictures", "a": "samples"}[what]
    ta, ea = framemd5(dir_a, rendition, what, key)
    tb, eb = framemd5(dir_b, rendition, what, key)
    if ea or eb:
        return "decoded %s: cannot decode (%s)" % (label, "; ".join((ea or []) + (eb or [])))
    if ta == tb:
        return "decoded %s identical" % label

    def frames(text):
        rows = [l.split(",") for l in text.splitlines() if l and not l.startswith("#")]
        return [r[-1].strip() for r in rows], [tuple(c.strip() for c in r[1:4]) for r in rows]

    ha, sa = frames(ta)
    hb, sb = frames(tb)
    if ha == hb:
        return "decoded %s identical, time stamps differ" % label
    n = sum(1 for x, y in zip(ha, hb) if x != y) + abs(len(ha) - len(hb))
    return "decoded %s differ (%d of %d/%d frames)" % (label, n, len(ha), len(hb))


def compare_outputs(dir_a, dir_b, ra, rb, key):
    """(files identical?, detail lines, number of files, differing names)."""
    fa, fb = set(ra["files"]), set(rb["files"])
    details = []
    only_a, only_b = sorted(fa - fb), sorted(fb - fa)
    if only_a:
        details.append("only in base: " + ", ".join(only_a))
    if only_b:
        details.append("only in current: " + ", ".join(only_b))
    differing = [n for n in sorted(fa & fb)
                 if not same_bytes(os.path.join(dir_a, n), os.path.join(dir_b, n))]
    if differing:
        details.append("differ: " + ", ".join(differing))
    renditions = sorted({rendition_of(n) for n in differing} - {None})
    for rend in renditions:
        if rend + ".m3u8" not in fa & fb:
            continue
        for what in ("v", "a"):
            details.append("%s: %s" % (rend, compare_decoded(dir_a, dir_b, rend, what, key)))
    ok = not (only_a or only_b or differing)
    return ok, details, len(fa | fb), differing


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(
        description="Check that two builds of corvane write byte-identical HLS ladders.",
        epilog="See the docstring at the top of this script for details.")
    ap.add_argument("--base", default=DEFAULT_BASE,
                    help="revision to compare against (default %(default)s)")
    ap.add_argument("--current", metavar="REV", default=None,
                    help="a revision instead of the working tree")
    ap.add_argument("--work", default=None,
                    help="work directory (default: build/compare in the repository)")
    ap.add_argument("--keep", action="store_true",
                    help="keep the sources and output directories")
    ap.add_argument("--only", action="append", choices=list(SOURCES),
                    help="compare only this source (may be repeated)")
    args = ap.parse_args()

    started = time.monotonic()
    repo = repo_root()
    work = os.path.abspath(args.work) if args.work else os.path.join(repo, "build", "compare")
    os.makedirs(work, exist_ok=True)
    names = args.only or list(SOURCES)
    if not shutil.which("ffmpeg"):
        log("error: the ffmpeg tool is not on PATH (scripts/install-deps.sh installs it)")
        return 2

    try:
        base_sha = resolve(repo, args.base)
        cur_sha = resolve(repo, args.current) if args.current else None
        log("Builds (work directory %s):" % work)
        base_py = prepare_revision(repo, work, "base", base_sha)
        if cur_sha is None:
            cur_py = prepare_working_tree(repo, work)
            cur_label = "working tree"
        else:
            cur_py = prepare_revision(repo, work, "current", cur_sha)
            cur_label = cur_sha[:12]
            if cur_sha == base_sha:
                log("  note: both sides are the same revision; this checks that a "
                    "build writes the same bytes twice")
        build_seconds = time.monotonic() - started
        log("Sources:")
        t0 = time.monotonic()
        sources = make_sources(work, names)
        key, keyinfo = make_key(work)
        log("  ready in %.1f s" % (time.monotonic() - t0))
    except (SetupError, subprocess.CalledProcessError) as e:
        log("error: %s" % e)
        return 2

    log("Comparing base %s with %s:" % (base_sha[:12], cur_label))
    rows = []
    for name in names:
        out_a = os.path.join(work, "out", name, "base")
        out_b = os.path.join(work, "out", name, "current")
        ra = encode(base_py, sources[name], keyinfo, out_a)
        rb = encode(cur_py, sources[name], keyinfo, out_b)
        rend_names = set(RENDITION_NAMES) | {rendition_of(n) for n in ra["files"] + rb["files"]}
        rend_names.discard(None)
        ok, details, nfiles, differing = compare_outputs(out_a, out_b, ra, rb, key)
        log_diffs = compare_logs(ra, rb, rend_names)
        if ok:
            log("%-14s IDENTICAL (%d files)" % (name, nfiles))
        else:
            log("%-14s DIFFERENT (%d of %d files)" % (name, len(differing) + len(
                set(ra["files"]) ^ set(rb["files"])), nfiles))
        for d in details:
            log("    " + d)
        if log_diffs:
            log("    console lines differ:")
            for d in log_diffs:
                log("      " + d)
        for side, r in (("base", ra), ("current", rb)):
            if r["rc"] != 0:
                log("    %s exited with status %d; last stderr lines:" % (side, r["rc"]))
                for line in r["stderr"].splitlines()[-5:]:
                    log("      " + line)
        rows.append((name, ok, nfiles, len(differing), not log_diffs,
                     ra["rc"], rb["rc"], ra["seconds"], rb["seconds"]))
        if ok and not args.keep:
            shutil.rmtree(os.path.join(work, "out", name), ignore_errors=True)

    all_ok = all(r[1] for r in rows)
    log()
    log("%-14s %-10s %6s %8s %-9s %-7s %9s %9s" % (
        "source", "files", "count", "differ", "console", "exit", "base s", "current s"))
    for name, ok, n, nd, logs_ok, rca, rcb, sa, sb in rows:
        log("%-14s %-10s %6d %8d %-9s %-7s %9.1f %9.1f" % (
            name, "identical" if ok else "DIFFER", n, nd,
            "same" if logs_ok else "DIFFER", "%d/%d" % (rca, rcb), sa, sb))
    log("total %.0f s (builds %.0f s); result: %s" % (
        time.monotonic() - started, build_seconds,
        "every file identical" if all_ok else "DIFFERENCES FOUND"))

    if not args.keep:
        shutil.rmtree(os.path.join(work, "sources"), ignore_errors=True)
        if all_ok:
            shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
