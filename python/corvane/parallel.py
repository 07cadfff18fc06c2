"""One source encoded in chunks, in parallel: on this machine's cores or on a
Dask cluster.

``hls_encoder`` takes the same arguments as ``corvane.hls_encoder`` and
writes the same files, with the same log lines. The job is planned once here
(probe, renditions, chunks of whole 6 s segments); each chunk is a task with
small arguments that a worker process runs: the last chunk reads the whole
source, encodes the audio of the whole job once and the last stretch of
video, every other chunk decodes the video of its own stretch from a key
frame shortly before it. The chunks' packets wait in a folder in the working
directory; once every chunk has ended, each rendition is written from them by
the same muxer as the single call, and the master playlist after them.

Workers must see the input and the working directory at the same paths (a
shared file system).
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import shutil
import tempfile
import time
from typing import Optional, Sequence, SupportsIndex, SupportsInt, Union

from . import _engine

__all__ = ["hls_encoder"]

_RESOLUTIONS = ["1080p", "720p", "480p", "360p"]
_BITRATES = [5000000, 2500000, 1000000, 400000]
_FIRST = -(2**63)
_LAST = 2**63 - 1
# FFmpeg's AVERROR_EXTERNAL: the cause of a chunk that no worker could run.
_EXTERNAL = -(ord("E") | ord("X") << 8 | ord("T") << 16 | ord(" ") << 24)
# How often a chunk is given to a worker again after its worker was lost.
_ATTEMPTS = 4
_TICKS = 30  # the output clock's ticks per second
_NO_OUTCOME = ("", (0, "", ""), (0, 0, False, 0, 0))


def _run_chunk(input, folder, renditions, index, start, end, origin, whole_source, exact, keep_audio):
    """A chunk's task, run by a worker: the statuses of its renditions, how
    its source stage ended and the lines it logged."""
    return _engine._encode_chunk(input, folder, renditions, index, start, end, origin, whole_source,
                                 exact, keep_audio)


class _Progress:
    """The single call's progress lines, as the chunks end."""

    def __init__(self, total):
        self.total = total
        self.started = self.last_line = time.monotonic()
        self.steps = 0

    def update(self, done):
        now = time.monotonic()
        line, self.steps = _engine._progress_line(self.total, done, now - self.started,
                                                  now - self.last_line, self.steps)
        if line:
            _engine._log(0, line)
            self.last_line = now


class _Chunk:
    def __init__(self, index, start, end, last):
        self.index = index
        self.start = start
        self.end = end
        self.last = last
        self.exact = False  # made again from the source's start, every picture decoded
        self.result = None
        self.attempts = 0


class _LocalPool:
    """Worker processes on this machine, made again when one is lost."""

    def __init__(self, workers):
        self.workers = workers
        self.pool = None

    def get(self):
        if self.pool is None:
            # Forked, so that a caller's script is not run again in each worker.
            context = multiprocessing.get_context("fork")
            self.pool = cf.ProcessPoolExecutor(max_workers=self.workers, mp_context=context)
        return self.pool

    def lost(self):
        self.close(kill=True)

    def close(self, kill=False):
        if self.pool is None:
            return
        if kill:
            for process in list(getattr(self.pool, "_processes", {}).values()):
                process.kill()
        self.pool.shutdown(wait=not kill, cancel_futures=True)
        self.pool = None


class _Job:
    def __init__(self, plan, folder, executor, workers):
        self.plan = plan
        self.folder = folder
        self.local = _LocalPool(workers) if executor is None else None
        self.executor = executor
        starts = plan["starts"]
        bounds = [_FIRST] + starts + [_LAST]
        count = len(starts) + 1
        self.chunks = [_Chunk(k, bounds[k], bounds[k + 1], k == count - 1) for k in range(count)]
        self.progress = _Progress(plan["length"])
        self.done = 0
        self.running = {}

    def _length(self, chunk):
        """The chunk's share of the source, in microseconds."""
        length_ticks = self.plan["length"] * _TICKS // 1000000
        start = 0 if chunk.start == _FIRST else chunk.start
        end = length_ticks if chunk.end == _LAST else chunk.end
        return max(0, end - start) * 1000000 // _TICKS

    def _submit(self, chunk):
        chunk.attempts += 1
        executor = self.executor if self.local is None else self.local.get()
        try:
            future = executor.submit(_run_chunk, self.plan["input"], self.folder, self.plan["renditions"],
                                     chunk.index, chunk.start, chunk.end, self.plan["origin"],
                                     chunk.last or chunk.exact, chunk.exact, chunk.last)
        except Exception as error:  # a caller's executor that is shut down or broken
            chunk.attempts = _ATTEMPTS
            return self._failed(chunk, error)
        self.running[future] = chunk

    def _failed(self, chunk, error):
        """A chunk that no worker could run: its renditions fail with the cause."""
        if chunk.attempts < _ATTEMPTS:
            return self._submit(chunk)
        why = (_EXTERNAL, "", f"chunk {chunk.index + 1} could not be encoded: {error!r}.")
        chunk.result = ([why] * len(self.plan["renditions"]), (_NO_OUTCOME[0], why, _NO_OUTCOME[2]), [])

    def _collect(self, future):
        chunk = self.running.pop(future)
        try:
            chunk.result = future.result()
        except cf.process.BrokenProcessPool as error:
            # A worker process died: the pool is made again, and every chunk
            # it was running is run again.
            if self.local is not None:
                self.local.lost()
                lost = [chunk] + list(self.running.values())
                self.running.clear()
                for again in lost:
                    self._failed(again, error)
                return
            self._failed(chunk, error)
        except (cf.CancelledError, Exception) as error:  # a lost Dask worker, among others
            self._failed(chunk, error)
            return
        if chunk.result is not None:
            self.done += self._length(chunk)

    def _wait(self):
        while self.running:
            finished, _ = cf.wait(list(self.running), timeout=0.1, return_when=cf.FIRST_COMPLETED)
            for future in finished:
                # A lost pool takes its other chunks along, already given out again.
                if future in self.running:
                    self._collect(future)
            self.progress.update(self.done)

    def _remade(self, both):
        """Chunks to make again exactly: one whose source stage failed, and
        of two neighbours that showed different pictures before their join
        the later one (`both`: both)."""
        remade = []
        for chunk in self.chunks:
            if not chunk.exact and not chunk.last and chunk.result[1][1][0] < 0:
                remade.append(chunk)
        for earlier, later in zip(self.chunks, self.chunks[1:]):
            if _engine._chunks_join(self.folder, earlier.index, later.index, earlier.end):
                continue
            remade += [c for c in ((earlier, later) if both else (later,)) if not c.exact]
        remade = list({chunk.index: chunk for chunk in remade}.values())
        for chunk in remade:
            chunk.exact = True
            chunk.attempts = 0
        return remade

    def run(self):
        """Runs every chunk; returns each rendition's status and how the
        source stage ended."""
        # The last chunk reads the whole source: it goes first.
        for chunk in [self.chunks[-1]] + self.chunks[:-1]:
            self._submit(chunk)
        self._wait()
        for both in (False, True):
            if self.chunks[-1].result[1][1][0] < 0:
                break
            for chunk in self._remade(both):
                self._submit(chunk)
            self._wait()
        # What each chunk logged, in the order of the source.
        for chunk in self.chunks:
            for level, text in chunk.result[2]:
                _engine._log(level, text)
        return self._statuses(), self.chunks[-1].result[1]

    def _statuses(self):
        """Per rendition, the first failure in the chunks' order."""
        statuses = []
        for i in range(len(self.plan["renditions"])):
            status = (0, "", "")
            for chunk in self.chunks:
                rendition, outcome = chunk.result[0][i], chunk.result[1][1]
                for candidate in (rendition, outcome):
                    if status[0] >= 0 and candidate[0] < 0:
                        status = candidate
            statuses.append(status)
        return statuses

    def stop(self):
        for future in self.running:
            future.cancel()
        self.running.clear()

    def close(self, kill=False):
        if self.local is not None:
            self.local.close(kill)


def _check(chunk_seconds, workers, executor):
    if isinstance(chunk_seconds, bool) or not isinstance(chunk_seconds, (int, float)):
        raise TypeError("chunk_seconds must be a number of seconds")
    if not chunk_seconds > 0:
        raise ValueError("chunk_seconds must be more than 0")
    if workers is not None:
        if isinstance(workers, bool) or not isinstance(workers, int):
            raise TypeError("workers must be a whole number or None")
        if workers < 1:
            raise ValueError("workers must be at least 1")
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError("executor must be a concurrent.futures.Executor or None")


_Path = Union[str, bytes, bytearray]


def hls_encoder(input: _Path, output: _Path, resolution: Sequence[_Path] = _RESOLUTIONS,
                bitrate: Sequence[Union[SupportsInt, SupportsIndex]] = _BITRATES,
                key: _Path = "enc.keyinfo", *, chunk_seconds: float = 60,
                workers: Optional[int] = None, executor: Optional[cf.Executor] = None) -> None:
    """Transcode video to HLS with dynamic ABR, in chunks encoded in parallel.

    The same job, files and log lines as ``corvane.hls_encoder``. The source
    is cut into chunks of ``chunk_seconds`` (rounded to whole 6 s segments;
    a source shorter than two chunks is one chunk), encoded by ``workers``
    processes of this machine (default: one per core), or by ``executor``
    (any ``concurrent.futures.Executor``, such as a Dask cluster's
    ``distributed.Client(...).get_executor()``), whose workers must see the
    input and the working directory at the same paths. A chunk whose worker
    is lost runs again. Returns None.
    """
    _check(chunk_seconds, workers, executor)
    plan = _engine._plan_chunks(input, output, list(resolution), list(bitrate), float(chunk_seconds))
    if plan is None:
        return None
    try:
        folder = tempfile.mkdtemp(prefix=".corvane-chunks-", dir=os.getcwd())
    except OSError as error:
        # No rendition can be written where the single call would write it.
        why = (-(error.errno or 5), "creating the chunks' folder in the working directory", "")
        renditions = plan["renditions"]
        _engine._stitch(output, key, "", 0, renditions, [why] * len(renditions), _NO_OUTCOME)
        return None
    try:
        job = _Job(plan, folder, executor, workers or os.cpu_count() or 1)
        try:
            statuses, outcome = job.run()
        except BaseException as error:
            job.stop()
            job.close(kill=True)
            if isinstance(error, (KeyboardInterrupt, SystemExit)):
                _engine._report_interrupted(output)
            raise
        job.close()
        _engine._stitch(output, key, folder, len(job.chunks), plan["renditions"], statuses, outcome)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return None
