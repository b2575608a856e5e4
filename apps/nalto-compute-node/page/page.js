// Draws the evidence page from its data block. Every text of the data is put in with textContent:
// names come from datasets, sims and requests, and none of them may become markup.
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("page-data").textContent);
  var graphs = [];

  function element(tag, text, className) {
    var node = document.createElement(tag);
    if (text !== undefined && text !== null) node.textContent = String(text);
    if (className) node.className = className;
    return node;
  }

  function figure(value, digits) {
    if (value === null || value === undefined) return "n/a";
    return typeof value === "number" ? String(Number(value.toPrecision(digits || 6))) : String(value);
  }

  function fact(list, name, value) {
    list.appendChild(element("dt", name));
    list.appendChild(element("dd", value));
  }

  function header() {
    var facts = document.getElementById("facts");
    fact(facts, "Sim", data.sim);
    if (data.caption !== null) fact(facts, "Predictions", data.caption);
    fact(facts, "Dataset", data.dataset.name + " (" + data.dataset.uuid + ")");
    fact(facts, "Score", data.score_percent === null ? "none: nothing could be scored" : figure(data.score_percent) + " %");
    fact(facts, "Episodes", data.episodes_count);
    fact(facts, "Lag searched", "scoring up to " + data.max_lag_steps + " rows (max_lag_steps); diagnostics within \u00b1" +
      data.search_lag_rows + " rows (search_lag_rows)");
    fact(facts, "When", data.when);
    if (data.before) {
      fact(facts, "Before (dashed)", (data.before.caption === null ? data.before.sim : data.before.caption) +
        ": score " + figure(data.before.score_percent) + " %, page " + data.before.id + " of " + data.before.when);
    }
    var notes = document.getElementById("notes");
    data.warnings.concat(data.hints).forEach(function (text) { notes.appendChild(element("li", text)); });
  }

  function tables() {
    var body = document.querySelector("#episodes tbody");
    data.episodes.forEach(function (entry) {
      var row = element("tr");
      row.appendChild(element("td", entry.episode, "number"));
      row.appendChild(element("td", figure(entry.score_percent), "number"));
      body.appendChild(row);
    });
    var plan = document.getElementById("plan-list");
    [["Sensors scored", data.plan.scored], ["Sensors matched, not scored", data.plan.unscored],
     ["Dataset sensors without a sim sensor", data.plan.unmatched], ["Actions", data.plan.actions]]
      .forEach(function (pair) {
        fact(plan, pair[0], pair[1].length ? pair[1].join(", ") : "none");
      });
  }

  function chosenEpisode() {
    var match = /^#episode=(\d+)$/.exec(window.location.hash);
    var known = data.episodes.map(function (entry) { return String(entry.episode); });
    if (match && known.indexOf(match[1]) >= 0) return match[1];
    return known.length ? known[0] : null;
  }

  function selector() {
    var select = document.getElementById("episode");
    data.episodes.forEach(function (entry) {
      select.appendChild(element("option", "episode " + entry.episode + ": " + figure(entry.score_percent) + " %"));
      select.lastChild.value = String(entry.episode);
    });
    select.addEventListener("change", function () {
      window.location.hash = "episode=" + select.value;
    });
    window.addEventListener("hashchange", draw);
  }

  // Rows of the episode with their values: [row, recorded, predicted(, before)] and [row, residual(, before)].
  function points(series, before) {
    var byRow = new Map();
    function put(row, index, value, width) {
      if (!byRow.has(row)) byRow.set(row, new Array(width).fill(null));
      byRow.get(row)[index] = value;
    }
    var width = before ? 6 : 4;
    series.rows.forEach(function (row, i) {
      var recorded = series.recorded[i], predicted = series.predicted[i];
      put(row, 0, recorded, width);
      put(row, 1, predicted, width);
      put(row, 2, recorded === null || predicted === null ? null : predicted - recorded, width);
    });
    if (before) {
      before.rows.forEach(function (row, i) {
        var recorded = before.recorded[i], predicted = before.predicted[i];
        put(row, 4, predicted, width);
        put(row, 5, recorded === null || predicted === null ? null : predicted - recorded, width);
      });
    }
    var rows = Array.from(byRow.keys()).sort(function (a, b) { return a - b; });
    var main = [], residual = [];
    rows.forEach(function (row) {
      var v = byRow.get(row);
      main.push(before ? [row, v[0], v[1], v[4]] : [row, v[0], v[1]]);
      residual.push(before ? [row, v[2], v[5]] : [row, v[2]]);
    });
    return { main: main, residual: residual };
  }

  // The sensor's best lag, as a bracket from the left edge of the view.
  function lagMarker(lag) {
    return function (context, area, graph) {
      if (!lag) return;
      var left = graph.xAxisRange()[0];
      var x0 = graph.toDomXCoord(left), x1 = graph.toDomXCoord(left + Math.abs(lag));
      context.save();
      context.strokeStyle = "#a33";
      context.fillStyle = "rgba(170, 51, 51, 0.08)";
      context.fillRect(x0, area.y, Math.max(1, x1 - x0), area.h);
      context.beginPath();
      context.moveTo(x0, area.y + 6);
      context.lineTo(x1, area.y + 6);
      context.stroke();
      context.restore();
    };
  }

  // Zoom and pan of one chart move the other alike.
  function keepInStep(pair) {
    var moving = false;
    pair.forEach(function (graph, i) {
      graph.updateOptions({
        drawCallback: function (me, initial) {
          if (initial || moving) return;
          moving = true;
          pair[1 - i].updateOptions({ dateWindow: me.xAxisRange() });
          moving = false;
        }
      }, true);
    });
  }

  function sensorSection(sensor, series, before, episode) {
    var section = element("section", null, "sensor");
    section.setAttribute("data-sensor", sensor.key);
    section.appendChild(element("h3", sensor.raw_name + (sensor.raw_name === sensor.key ? "" : " (" + sensor.key + ")")));
    var lag = sensor.lag_rows;
    section.appendChild(element("p", "score " + figure(sensor.score_percent) + " %, NRMSE " + figure(sensor.nrmse) +
      " (by its " + sensor.normalized_by + "), bias " + figure(sensor.bias) + ", gain " + figure(sensor.gain) +
      ", correlation " + figure(sensor.correlation) + "; compared over " + sensor.n_rows + " rows", "figures"));
    section.appendChild(element("p", "best lag: " + (lag === null ? "n/a" : lag + " rows" +
      (lag > 0 ? " (the sim trails the recording)" : lag < 0 ? " (the sim leads the recording)" : "")) +
      "; scoring lag: " + sensor.lag_steps + " rows", "figures lag"));
    var main = element("div", null, "chart"), residual = element("div", null, "residual");
    // Legends above their charts: over the chart, a legend hides the lines at its corner.
    var legends = [element("div", null, "legend"), element("div", null, "legend")];
    [main, residual].forEach(function (div, i) {
      div.setAttribute("data-episode", episode);
      div.setAttribute("data-points", series.rows.length);
      section.appendChild(legends[i]);
      section.appendChild(div);
    });
    document.getElementById("charts").appendChild(section);

    var drawn = points(series, before);
    var dashed = { strokePattern: [6, 4] };
    // Only a before page's rows leave gaps between a series' points.
    var common = { connectSeparatedPoints: !!before, xlabel: "row", legend: "always", labelsSeparateLines: false,
                   underlayCallback: lagMarker(lag) };
    var chart = new Dygraph(main, drawn.main, Object.assign({
      labelsDiv: legends[0],
      labels: before ? ["row", "recorded", "predicted", "before"] : ["row", "recorded", "predicted"],
      colors: before ? ["#222", "#1f6fd1", "#d17a1f"] : ["#222", "#1f6fd1"],
      series: before ? { before: dashed } : {}
    }, common));
    var difference = new Dygraph(residual, drawn.residual, Object.assign({
      labelsDiv: legends[1],
      labels: before ? ["row", "residual", "before residual"] : ["row", "residual"],
      colors: before ? ["#b03030", "#d17a1f"] : ["#b03030"],
      series: before ? { "before residual": dashed } : {}
    }, common));
    var pair = [chart, difference];
    keepInStep(pair);
    graphs.push(chart, difference);
  }

  function draw() {
    var started = performance.now();
    var episode = chosenEpisode();
    var charts = document.getElementById("charts");
    graphs.forEach(function (graph) { graph.destroy(); });
    graphs = [];
    charts.textContent = "";
    document.getElementById("page").setAttribute("data-episode", episode === null ? "" : episode);
    if (episode === null) {
      charts.appendChild(element("p", "No episode was replayed."));
      return;
    }
    document.getElementById("episode").value = episode;
    var befores = data.before && data.before.series[episode];
    document.getElementById("episode-note").textContent =
      data.before && !befores ? "(the before page has no predictions of this episode)" : "";
    if (!data.sensors.length) charts.appendChild(element("p", "No sensor could be scored."));
    data.sensors.forEach(function (sensor, i) {
      sensorSection(sensor, data.series[episode][i], befores ? befores[sensor.key] : undefined, episode);
    });
    var now = performance.now();
    console.info("nalto-evidence-page: drew " + graphs.length + " charts of episode " + episode + " in " +
      Math.round(now - started) + " ms, at " + Math.round(now) + " ms");
  }

  header();
  tables();
  selector();
  draw();
})();
