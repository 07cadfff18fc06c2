from media import decrypt_rendition, read_playlist, run_job, streams


def test_default_ladder_on_a_short_clip(workdir, sources):
    src = sources("clip.mp4", seconds=3, size="640x360")
    run = run_job(workdir.path, str(src), "master.m3u8")
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert run.messages("SUCCESS")[-1] == "All secure transcoding finished flawlessly."
    for name in ("1080p", "720p", "480p", "360p"):
        _, key, segments, ended = read_playlist(workdir.path / f"{name}.m3u8")
        assert ended and segments
        ts = decrypt_rendition(workdir.path, name, workdir.key, workdir.path / f"{name}.ts")
        kinds = sorted(s["codec_name"] for s in streams(ts))
        assert kinds == ["aac", "h264"]
