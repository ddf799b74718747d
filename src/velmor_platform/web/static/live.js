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
});
