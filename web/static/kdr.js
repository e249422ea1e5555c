// The view's only script (no inline script runs: the pages forbid it).
// Draws the chart of records per day, and tells an open page that a station
// stored a new download since it was shown.
"use strict";

function drawChart() {
  const canvas = document.getElementById("chart");
  if (!canvas || typeof Chart === "undefined") {
    return;
  }
  fetch(canvas.dataset.source, { credentials: "same-origin" })
    .then((response) => (response.ok ? response.json() : Promise.reject(response.status)))
    .then((days) => {
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
