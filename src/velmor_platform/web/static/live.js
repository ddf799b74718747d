// Live parts of the pages; everything else works without scripts.
"use strict";
document.addEventListener("DOMContentLoaded", function () {
  // Fill a section from a fragment URL (the capability report takes a moment).
  document.querySelectorAll("[data-fill]").forEach(function (box) {
    if (box.querySelector("table")) return;
    fetch(box.getAttribute("data-fill"), {credentials: "same-origin"})
      .then(function (r) { return r.ok ? r.text() : Promise.reject(r.status); })
      .then(function (html) { box.innerHTML = html; })
      .catch(function () {});
  });
  // Follow a simulation through server-sent events.
  document.querySelectorAll("[data-events]").forEach(function (panel) {
    var set = function (key, value) {
      var el = panel.querySelector('[data-key="' + key + '"]');
      if (el && value !== null && value !== undefined) el.textContent = String(value);
    };
    var bar = panel.querySelector('[data-key="bar"]');
    var source = new EventSource(panel.getAttribute("data-events"));
    source.addEventListener("progress", function (e) {
      var p = JSON.parse(e.data);
      ["stage", "iteration", "total", "cd", "elapsed_s"].forEach(function (k) {
        var v = p[k];
        if (typeof v === "number") {
          v = k === "elapsed_s" ? v.toFixed(1) : String(parseFloat(v.toPrecision(6)));
        }
        set(k, v);
      });
      if (bar && p.total) { bar.max = p.total; bar.value = p.iteration || 0; }
    });
    // A finished job offers no Cancel; a reload shows its recorded run.
    var over = function () {
      document.querySelectorAll("[data-cancel]").forEach(function (f) { f.remove(); });
      source.close();
    };
    source.addEventListener("done", function () { set("outcome", "finished (reload for the recorded run)"); over(); });
    source.addEventListener("failed", function (e) {
      set("outcome", "failed: " + JSON.parse(e.data).error);
      if (panel.querySelector('[data-key="stage"]').textContent === "starting") set("stage", "—");
      over();
    });
  });
  // Re-fetch a fragment (a study's cases) until it says it has finished;
  // refresh the chart beside it at the same time.
  document.querySelectorAll("[data-refresh]").forEach(function (box) {
    var every = 1000 * (parseFloat(box.getAttribute("data-interval")) || 2);
    var chart = document.querySelector("img[data-chart]");
    var tick = function () {
      if (box.querySelector("[data-finished]")) return;
      fetch(box.getAttribute("data-refresh"), {credentials: "same-origin"})
        .then(function (r) { return r.ok ? r.text() : Promise.reject(r.status); })
        .then(function (html) {
          box.innerHTML = html;
          if (chart) chart.src = chart.src.split("?")[0] + "?t=" + Date.now();
          setTimeout(tick, every);
        })
        .catch(function () { setTimeout(tick, 4 * every); });
    };
    setTimeout(tick, every);
  });
  // A picture still being drawn answers 503 after a while: ask again a little later,
  // also when it failed before this script ran.
  document.querySelectorAll("img[data-retry]").forEach(function (img) {
    var tries = 0;
    var again = function () {
      if (tries >= 60) return;
      tries += 1;
      setTimeout(function () { img.src = img.src.split("?")[0] + "?try=" + tries; }, 3000);
    };
    img.addEventListener("error", again);
    if (img.complete && img.naturalWidth === 0) again();
  });
});
