// The station view's script: takes the whole state from the event stream's
// first message, applies each later event to it, and draws the tiles, the
// counts and the last results. A failed board sounds a short tone unless
// muted (remembered in this browser).
"use strict";

var state = null;       // the station's state, as /api/state gives it
var since = {};         // port -> the local time its seconds count from
var finished = false;
var muted = localStorage.getItem("tessan-station-muted") === "1";
var audio = null;

function $(id) { return document.getElementById(id); }

function text(node, value) {
  if (node.textContent !== value) node.textContent = value;
}

function amber(outcome) { return outcome === "timed out" || outcome === "interrupted"; }

function slot(port) {
  for (var i = 0; i < state.boards.length; i++) {
    if (state.boards[i].port === port) return state.boards[i];
  }
  var board = { board: 0, port: port, usb: null, phase: "starting", percent: 0, seconds: 0, outcome: null, message: null };
  state.boards.push(board);
  return board;
}

function serial(usb) { return usb && usb.serial ? usb.serial : null; }

function apply(event) {
  if (event.event === "state") {
    state = event;
    // Before the gang's first word the state may still be empty.
    if (!state.boards) state.boards = [];
    if (!state.recent) state.recent = [];
    state.updated = state.updated || 0;
    state.failed = state.failed || 0;
    since = {};
    var now = Date.now();
    state.boards.forEach(function (b) { since[b.port] = now - b.seconds * 1000; });
    if (state.ended) finish();
    return;
  }
  if (!state) return;
  var board;
  if (event.event === "start") {
    board = slot(event.port);
    board.board = event.board;
    board.usb = event.usb;
    board.phase = "starting";
    board.percent = 0;
    board.seconds = 0;
    board.outcome = null;
    board.message = null;
    since[event.port] = Date.now();
  } else if (event.event === "phase") {
    board = slot(event.port);
    board.phase = event.phase;
    board.percent = event.percent !== undefined ? event.percent : 0;
  } else if (event.event === "end") {
    board = slot(event.port);
    board.phase = "ended";
    board.outcome = event.outcome;
    board.message = event.message;
    board.seconds = event.seconds;
    board.percent = event.outcome === "updated" ? 100 : 0;
    if (event.outcome === "updated") state.updated++; else state.failed++;
    state.recent.unshift({ board: event.board, port: event.port, serial: serial(event.usb), outcome: event.outcome,
                           message: event.message, seconds: event.seconds, end: event.end });
    state.recent.length = Math.min(state.recent.length, 20);
    if (event.outcome !== "updated") tone();
  } else if (event.event === "summary") {
    state.ended = true;
    finish();
  }
}

function status(word, kind) {
  var node = $("status");
  text(node, word);
  node.className = kind;
}

function finish() {
  finished = true;
  status("Finished", "finished");
  if (source) source.close();
}

function tone() {
  if (muted) return;
  try {
    if (!audio) audio = new (window.AudioContext || window.webkitAudioContext)();
    var oscillator = audio.createOscillator();
    var gain = audio.createGain();
    oscillator.type = "square";
    oscillator.frequency.value = 660;
    gain.gain.value = 0.2;
    oscillator.connect(gain);
    gain.connect(audio.destination);
    oscillator.start();
    oscillator.stop(audio.currentTime + 0.2);
  } catch (e) {
    // No sound on this browser: the tile still says it.
  }
}

function showMute() {
  text($("mute"), muted ? "Sound off" : "Sound on");
  $("mute").setAttribute("aria-pressed", muted ? "true" : "false");
}

$("mute").addEventListener("click", function () {
  muted = !muted;
  localStorage.setItem("tessan-station-muted", muted ? "1" : "0");
  if (!muted && audio && audio.state === "suspended") audio.resume();
  showMute();
});

function tile(board) {
  var node = document.createElement("div");
  node.className = "tile";
  node.innerHTML = '<div class="top"><span class="port"></span><span class="usb"></span></div>' +
    '<div class="doing"></div><div class="message"></div>' +
    '<div class="bottom"><div class="bar"><div></div></div><span class="percent"></span><span class="seconds"></span></div>';
  node.dataset.port = board.port;
  return node;
}

function doing(board) {
  if (board.phase !== "ended") return board.phase === "starting" ? "starting\u2026" : board.phase;
  if (board.outcome === "updated") return "\u2714 updated";
  return "\u2718 " + board.outcome;
}

// A port name cut to `max` characters keeps its end, the part that tells
// the slots apart ("\u2026by-id/usb-FTDI_A1").
function shortPort(port, max) {
  return port.length <= max ? port : "\u2026" + port.substring(port.length - max + 1);
}

function seconds(board) {
  var s = board.phase === "ended" ? board.seconds : (Date.now() - (since[board.port] || Date.now())) / 1000;
  return (Math.round(s * 10) / 10).toFixed(1) + " s";
}

function draw() {
  if (!state) return;
  text($("image-name"), state.image);
  text($("image-sha"), state.image_sha256 ? state.image_sha256.substring(0, 12) : "");
  text($("updated"), String(state.updated));
  text($("failed"), String(state.failed));
  $("rate-box").hidden = !state.station;
  $("recent-box").hidden = !state.station;
  if (state.station && state.started) {
    var hours = (Date.now() - Date.parse(state.started)) / 3600000;
    text($("rate"), hours > 0 ? String(Math.round((state.updated + state.failed) / hours)) : "0");
  }

  var tiles = $("tiles");
  var n = state.boards.length;
  // The columns that give the biggest type: a tile's type is bound by its
  // height and by its width (the longest word, "transferring", must fit).
  var cols = 1, font = 0, rows = 1;
  for (var c = 1; c <= Math.max(1, n); c++) {
    var r = Math.max(1, Math.ceil(n / c));
    var f = Math.min(tiles.clientHeight / r / 5.5, tiles.clientWidth / c / 11);
    if (f > font) { font = f; cols = c; rows = r; }
  }
  tiles.style.setProperty("--cols", cols);
  var width = tiles.clientWidth / cols;
  font = Math.max(12, font);
  tiles.style.setProperty("--tile-font", font + "px");
  // Characters of the port's line: the tile's width less its padding and the
  // serial number beside it, in bold characters of about 0.7 em.
  var portChars = Math.max(8, Math.floor((width - 2.5 * font) / (font * 0.78)));
  while (tiles.children.length > n) tiles.removeChild(tiles.lastChild);
  state.boards.forEach(function (board, i) {
    var node = tiles.children[i];
    if (!node) node = tiles.appendChild(tile(board));
    node.dataset.port = board.port;
    node.dataset.outcome = board.outcome || "";
    var kind = board.phase === "ended"
      ? (board.outcome === "updated" ? "updated" : amber(board.outcome) ? "amber" : "failed")
      : board.phase === "transferring" ? "transferring" : "running";
    var className = "tile " + kind;
    if (node.className !== className) node.className = className;
    var sn = serial(board.usb) ? "SN " + serial(board.usb) : "";
    text(node.querySelector(".port"), shortPort(board.port, portChars - Math.ceil(sn.length * 0.75)));
    node.querySelector(".port").title = board.port;
    text(node.querySelector(".usb"), sn);
    text(node.querySelector(".doing"), doing(board));
    text(node.querySelector(".message"), board.phase === "ended" && board.outcome !== "updated" ? board.message || "" : "");
    var percent = board.phase === "transferring" || board.outcome === "updated" ? board.percent + " %" : "";
    text(node.querySelector(".percent"), percent);
    node.querySelector(".bar div").style.width = board.percent + "%";
    text(node.querySelector(".seconds"), seconds(board));
  });

  var list = $("recent");
  var items = state.recent.map(function (r) {
    var good = r.outcome === "updated";
    return { kind: good ? "good" : amber(r.outcome) ? "amber" : "bad",
             line: (good ? "\u2714 " : "\u2718 ") + "#" + r.board + " " + (good ? "updated" : r.message) + " " +
                   r.seconds.toFixed(1) + " s " + (r.serial ? "SN " + r.serial + " " : "") + r.port };
  });
  while (list.children.length > items.length) list.removeChild(list.lastChild);
  items.forEach(function (item, i) {
    var li = list.children[i] || list.appendChild(document.createElement("li"));
    if (li.className !== item.kind) li.className = item.kind;
    text(li, item.line);
  });
}

// Many events may come at once: drawn at most every 50 ms, and once a
// second for the seconds.
var pending = false;
function redraw() {
  if (pending) return;
  pending = true;
  setTimeout(function () { pending = false; draw(); }, 50);
}

var source = new EventSource("api/events");
source.onopen = function () { if (!finished) status("Live", "live"); };
source.onmessage = function (message) {
  var event;
  try { event = JSON.parse(message.data); } catch (e) { return; }
  apply(event);
  redraw();
};
source.onerror = function () {
  if (!finished) status("Connection to the station lost", "lost");
};
window.addEventListener("resize", redraw);
setInterval(function () { if (!finished) redraw(); }, 1000);
showMute();
