// Plays the master playlist `src` with the web player `player` and puts what
// happened in the promise window.corvaneResult (a plain JSON-able object;
// window.corvaneProgress is the same object while it is being filled in):
//   engine     "mse" when the player feeds Media Source Extensions itself
//              (not the browser's own HLS playback)
//   variants   for each quality level, forced in turn and played from 0:
//              {height, bandwidth, shownHeight, start, end, frames, played, error}
//   subtitles  the subtitle tracks the player offers: {language, name, default, forced}
//   cues       with `t` given and a subtitle track offered: the texts of the
//              active cues at t after enabling the first track whose
//              language starts with `lang` (or the first track)
//   trickTracks  Shaka only: the I-frame streams its manifest lists
//   errors     fatal player errors; log: other errors and warnings
(function () {
  "use strict";
  const params = new URLSearchParams(location.search);
  const playerName = params.get("player");
  const src = new URL(params.get("src"), location.href).href;
  const cueTime = params.has("t") ? Number(params.get("t")) : null;
  const cueLanguage = params.get("lang") || "";
  // Playback that must be seen for a variant to count as played (seconds).
  const PLAY_SECONDS = 2;
  // How long to wait for a player to reach a state before giving up (ms);
  // far above what a working player needs, so that only a stuck one hits it.
  const PATIENCE = 20000;

  const result = {player: playerName, visibility: document.visibilityState, engine: null, variants: [], subtitles: [],
                  cues: null, trickTracks: null, errors: [], log: []};
  let video = document.getElementById("video");

  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  async function waitFor(condition, ms = PATIENCE) {
    const until = Date.now() + ms;
    while (Date.now() < until) {
      if (condition()) return true;
      await sleep(50);
    }
    return condition();
  }
  function loadScript(path) {
    return new Promise((resolve, reject) => {
      const script = document.createElement("script");
      script.src = path;
      script.onload = resolve;
      script.onerror = () => reject(new Error("cannot load " + path));
      document.head.appendChild(script);
    });
  }
  const text = (value) => (value instanceof Error ? value.message : typeof value === "string"
    ? value : JSON.stringify(value)).slice(0, 500);
  const fatal = (what) => result.errors.push(text(what));
  const note = (what) => result.log.length < 50 && result.log.push(text(what));
  window.addEventListener("error", (e) => note("page: " + e.message));
  window.addEventListener("unhandledrejection", (e) => note("page: " + text(e.reason)));

  // Each adapter loads `src` and returns the same small interface.
  const adapters = {
    async hlsjs() {
      await loadScript("node_modules/hls.js/dist/hls.min.js");
      if (!Hls.isSupported()) throw new Error("hls.js: Media Source Extensions unsupported");
      const hls = new Hls({capLevelToPlayerSize: false, startLevel: 0});
      hls.on(Hls.Events.ERROR, (_, data) => {
        const what = `hls.js ${data.type} ${data.details}` + (data.error ? ": " + data.error.message : "");
        data.fatal ? fatal(what) : note(what);
      });
      const parsed = new Promise((resolve) => hls.once(Hls.Events.MANIFEST_PARSED, resolve));
      hls.loadSource(src);
      hls.attachMedia(video);
      await parsed;
      return {
        engine: () => "mse",
        variants: () => hls.levels.map((level, id) => ({id, height: level.height, bandwidth: level.bitrate})),
        force: (id) => { hls.currentLevel = id; },
        subtitles: () => hls.subtitleTracks.map((t) => ({
          language: t.lang, name: t.name, default: !!t.default, forced: !!t.forced})),
        showSubtitles: (index) => { hls.subtitleDisplay = true; hls.subtitleTrack = index; },
        textTracks: () => Array.from(video.textTracks),
      };
    },

    async shaka() {
      await loadScript("node_modules/shaka-player/dist/shaka-player.compiled.js");
      shaka.polyfill.installAll();
      const player = new shaka.Player();
      await player.attach(video);
      player.configure({streaming: {preferNativeHls: false}, abr: {enabled: false}});
      // Text picked before loading streams along with the video. Text
      // picked later waits for the video's next append to learn its time
      // offset, which never comes when the whole clip is already buffered.
      if (cueTime !== null) player.configure({preferredText: [{language: cueLanguage}]});
      player.addEventListener("error", (event) => {
        const e = event.detail;
        const what = `Shaka error ${e.code} (category ${e.category}) ${JSON.stringify(e.data).slice(0, 300)}`;
        e.severity === shaka.util.Error.Severity.CRITICAL ? fatal(what) : note(what);
      });
      try {
        await player.load(src);
      } catch (e) {
        throw new Error(`Shaka load failed: error ${e.code} ${JSON.stringify(e.data).slice(0, 300)}`);
      }
      return {
        engine: () => (player.getLoadMode() === shaka.Player.LoadMode.MEDIA_SOURCE ? "mse" : "native"),
        variants: () => player.getVariantTracks().map((t) => ({id: t.id, height: t.height, bandwidth: t.bandwidth})),
        force: (id) => player.selectVariantTrack(player.getVariantTracks().find((t) => t.id === id), true),
        subtitles: () => player.getTextTracks().map((t) => ({
          language: t.language, name: t.label, default: !!t.primary, forced: !!t.forced})),
        showSubtitles: (index) => player.selectTextTrack(player.getTextTracks()[index]),
        textTracks: () => Array.from(video.textTracks),
        // getManifest() is Shaka's internal structure: each variant's video
        // stream names the I-frame stream that serves its trick play.
        trickTracks: () => {
          const streams = new Map();
          for (const variant of player.getManifest().variants) {
            const trick = variant.video && variant.video.trickModeVideo;
            if (trick) streams.set(trick.id, {height: trick.height || null, bandwidth: trick.bandwidth || null,
                                              uri: trick.originalId});
          }
          return Array.from(streams.values());
        },
      };
    },

    async videojs() {
      await loadScript("node_modules/video.js/dist/video.min.js");
      const player = videojs(video, {html5: {vhs: {overrideNative: true}, nativeAudioTracks: false,
                                             nativeVideoTracks: false}});
      player.on("error", () => fatal("video.js: " + text(player.error())));
      const ready = new Promise((resolve) => player.one("loadedmetadata", resolve));
      player.src({src, type: "application/x-mpegURL"});
      await ready;
      const tech = player.tech({IWillNotUseThisInPlugins: true});
      video = tech.el();
      const vhs = tech.vhs;
      const subtitleTracks = () => Array.from(player.textTracks()).filter((t) => t.kind === "subtitles");
      return {
        engine: () => (vhs ? "mse" : "native"),
        variants: () => vhs.representations().map((r) => ({id: r.id, height: r.height, bandwidth: r.bandwidth})),
        // Enabling a level switches to it (100 ms later) and throws the
        // buffer away once its playlist has come; but only when it was
        // disabled, so disable them all first. Going back to a level whose
        // playlist came before, the switch is made at once and the buffer
        // stays: throw it away by hand then.
        force: async (id) => {
          vhs.representations().forEach((r) => r.enabled(false));
          vhs.representations().find((r) => r.id === id).enabled(true);
          await sleep(300);
          const controller = vhs.playlistController_;
          if (controller.waitingForFastQualityPlaylistReceived_ && controller.mainPlaylistLoader_.media().id === id) {
            controller.runFastQualitySwitch_();
          }
        },
        subtitles: () => subtitleTracks().map((t) => ({
          language: t.language, name: t.label, default: !!t.default, forced: false})),
        showSubtitles: (index) => subtitleTracks().forEach((t, i) => { t.mode = i === index ? "showing" : "disabled"; }),
        textTracks: () => Array.from(player.textTracks()),
      };
    },
  };

  // play() settles only once playback starts, or fails: the waits that
  // follow tell whether it did.
  function play() {
    video.play().catch((e) => note("play(): " + text(e)));
  }

  function frames() {
    return video.getVideoPlaybackQuality().totalVideoFrames;
  }

  async function playVariant(player, variant) {
    const report = {height: variant.height, bandwidth: variant.bandwidth, shownHeight: null,
                    start: null, end: null, frames: 0, played: false, error: null};
    const errorsBefore = result.errors.length;
    try {
      video.pause();
      await player.force(variant.id);
      video.currentTime = 0;
      play();
      // The first pictures after the switch may still be the previous level's.
      const shown = await waitFor(() => result.errors.length > errorsBefore || (
        !video.seeking && video.readyState >= 3 && (!variant.height || video.videoHeight === variant.height)));
      report.shownHeight = video.videoHeight;
      if (!shown) throw new Error(`no picture of height ${variant.height} shown (showing ${video.videoHeight}, `
                                  + `readyState ${video.readyState}, at ${video.currentTime.toFixed(2)} s)`);
      report.start = video.currentTime;
      const before = frames();
      await waitFor(() => result.errors.length > errorsBefore || video.currentTime >= report.start + PLAY_SECONDS);
      report.end = video.currentTime;
      report.frames = frames() - before;
    } catch (e) {
      report.error = text(e);
    }
    video.pause();
    if (result.errors.length > errorsBefore) report.error = result.errors.slice(errorsBefore).join("; ");
    report.played = !report.error && report.end >= report.start + PLAY_SECONDS && report.frames > 0;
    return report;
  }

  async function activeCues(player) {
    video.pause();
    const index = result.subtitles.findIndex((t) => (t.language || "").toLowerCase().startsWith(cueLanguage));
    player.showSubtitles(Math.max(index, 0));
    video.currentTime = cueTime;
    play();
    await waitFor(() => !video.seeking && video.currentTime >= cueTime + 0.3);
    video.pause();
    // Cues may arrive after the picture: wait a little for them while paused.
    const read = () => {
      const texts = new Set();
      for (const track of player.textTracks()) {
        if (track.mode !== "showing" || !track.activeCues) continue;
        for (const cue of Array.from(track.activeCues)) texts.add(cue.text);
      }
      return Array.from(texts);
    };
    await waitFor(() => read().length > 0, 5000);
    const tracks = player.textTracks().map((t) => ({
      kind: t.kind, label: t.label, language: t.language, mode: t.mode,
      cues: t.cues ? Array.from(t.cues).map((c) => [c.startTime, c.endTime, c.text]) : null}));
    return {at: video.currentTime, texts: read(), tracks};
  }

  async function run() {
    try {
      const player = await Promise.race([adapters[playerName](), sleep(PATIENCE).then(() => {
        throw new Error("the player did not load the master playlist in time");
      })]);
      result.engine = player.engine();
      for (const variant of player.variants()) result.variants.push(await playVariant(player, variant));
      result.subtitles = player.subtitles();
      if (cueTime !== null && result.subtitles.length) result.cues = await activeCues(player);
      if (player.trickTracks) result.trickTracks = player.trickTracks();
    } catch (e) {
      fatal(e);
    }
    return result;
  }

  window.corvaneProgress = result;
  window.corvaneResult = run();
})();
