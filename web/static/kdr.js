// The view's only script (no inline script runs: the pages forbid it).
// Draws the chart of records per day, and tells an open page that a station
// stored a new download since it was shown.
"use strict";

// The store gives only the days that have records: the days between them
// are drawn as zero, so that a gap in the collects shows as one.
function withEmptyDays(counted) {
  if (counted.length < 2) {
    return counted;
  }
  const dayMs = 24 * 60 * 60 * 1000;
  const records = new Map(counted.map((d) => [d.day, d.records]));
  const days = [];
  const last = Date.parse(counted[counted.length - 1].day + "T00:00:00Z");
  for (let t = Date.parse(counted[0].day + "T00:00:00Z"); t <= last; t += dayMs) {
    const day = new Date(t).toISOString().slice(0, 10);
    days.push({ day, records: records.get(day) || 0 });
  }
  return days;
}

function drawChart() {
  const canvas = document.getElementById("chart");
  if (!canvas || typeof Chart === "undefined") {
    return;
  }
  fetch(canvas.dataset.source, { credentials: "same-origin" })
    .then((response) => (response.ok ? response.json() : Promise.reject(response.status)))
    .then((counted) => {
      const days = withEmptyDays(counted);
      const chart = new Chart(canvas, {
        type: "bar",
        data: {
          labels: days.map((d) => d.day),
          datasets: [{ label: "Records", data: days.map((d) => d.records), backgroundColor: "#457b9d" }],
        },
        options: {
          animation: false,
          maintainAspectRatio: false,
          plugins: { legend: { display: false } },
          scales: { y: { beginAtZero: true, ticks: { precision: 0 } } },
        },
      });
      canvas.dataset.drawn = String(chart.data.labels.length);
    })
    .catch(() => {
      canvas.dataset.drawn = "failed";
    });
}

// A new download shows within a few seconds: the page asks for the last one
// and, when it changed, reloads itself unless the user is typing in a form.
function watchDownloads() {
  const shown = document.body.dataset.lastDownload;
  if (shown === undefined) {
    return;
  }
  const every = 3000;
  const check = () => {
    fetch("/api/downloads?limit=1", { credentials: "same-origin", cache: "no-store" })
      .then((response) => (response.ok ? response.json() : []))
      .then((list) => {
        const last = list.length ? String(list[list.length - 1].id) : "0";
        if (last === shown) {
          return;
        }
        const editing = document.activeElement && document.activeElement.form;
        if (editing) {
          document.getElementById("news").hidden = false;
        } else {
          window.location.reload();
        }
      })
      .catch(() => {})
      .finally(() => window.setTimeout(check, every));
  };
  window.setTimeout(check, every);
}

document.addEventListener("DOMContentLoaded", () => {
  drawChart();
  watchDownloads();
});
