// The upload page. Everything the server or the module answers is shown with
// textContent only, never read as HTML.
#include "host/serve/upload_page.h"

#include <iterator>
#include <string_view>

namespace parcel::host {
namespace {

constexpr std::string_view kPage = R"page(<!DOCTYPE html>
<html lang="en" class="no-script">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>parcel: pack files into a zip archive</title>
<style>
  :root {
    --bg: #f6f7f9; --card: #ffffff; --text: #1d2330; --muted: #5b6475; --line: #d9dde5;
    --accent: #2a5bd7; --accent-text: #ffffff; --accent-soft: #e8eefc; --focus: #f0a000;
    --bad: #b3261e; --bad-soft: #fdecea; --good: #1e7a3c; --bar: #2a5bd7; --bar-bg: #e3e7ef;
  }
  @media (prefers-color-scheme: dark) {
    :root {
      --bg: #14171d; --card: #1d2129; --text: #e7e9ee; --muted: #a3abba; --line: #343a46;
      --accent: #7ea2ff; --accent-text: #0d1320; --accent-soft: #24304a; --focus: #ffc24b;
      --bad: #ffb4ab; --bad-soft: #3d1f1c; --good: #7fd69a; --bar: #7ea2ff; --bar-bg: #2d3340;
    }
  }
  * { box-sizing: border-box; }
  body { margin: 0; background: var(--bg); color: var(--text); line-height: 1.5;
         font: 16px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
  main { max-width: 48rem; margin: 0 auto; padding: 2rem 1rem 3rem; }
  h1 { font-size: 1.6rem; margin: 0 0 0.25rem; }
  h2 { font-size: 1.15rem; margin: 0 0 0.75rem; }
  .limits, .hint, .muted { color: var(--muted); }
  .limits { margin: 0 0 1.5rem; }
  #chosen { margin-top: 1.25rem; }
  .card { background: var(--card); border: 1px solid var(--line); border-radius: 12px; padding: 1.25rem;
          margin-bottom: 1.25rem; }
  .drop { border: 2px dashed var(--line); border-radius: 12px; padding: 1.75rem 1rem; text-align: center;
          transition: border-color 0.15s, background 0.15s; }
  .drop.over { border-color: var(--accent); background: var(--accent-soft); }
  .drop svg { width: 2.5rem; height: 2.5rem; color: var(--accent); }
  .drop-title { font-size: 1.15rem; font-weight: 600; margin: 0.25rem 0; }
  .drop p { margin: 0.25rem 0 0.75rem; }
  .pickers { position: relative; display: flex; gap: 0.75rem; justify-content: center; flex-wrap: wrap; }
  label.field { display: block; margin: 1.25rem 0 0.25rem; font-weight: 600; }
  input[type=text] { width: 100%; padding: 0.5rem 0.65rem; border: 1px solid var(--line); border-radius: 8px;
                     background: var(--bg); color: var(--text); font: inherit; }
  button, .button { display: inline-flex; align-items: center; gap: 0.4rem; padding: 0.5rem 1.1rem;
                    border: 1px solid var(--line); border-radius: 8px; background: var(--card); color: var(--text);
                    font: inherit; font-weight: 600; cursor: pointer; text-decoration: none; }
  button:hover, .button:hover { border-color: var(--accent); }
  .primary { background: var(--accent); border-color: var(--accent); color: var(--accent-text); }
  .primary:hover { filter: brightness(1.08); }
  button:disabled { opacity: 0.55; cursor: not-allowed; }
  :focus-visible, .pickers input:focus-visible + label { outline: 3px solid var(--focus); outline-offset: 2px; }
  .js .pickers input { position: absolute; width: 1px; height: 1px; opacity: 0; overflow: hidden; }
  /* Without script the native choosers show, each under its name. */
  .no-script .with-script, .js .without-script { display: none; }
  .no-script .pickers { gap: 2rem; }
  .no-script .picker { display: flex; flex-direction: column-reverse; align-items: flex-start; gap: 0.35rem; }
  .no-script .picker label.button { border: none; background: none; padding: 0; cursor: default; }
  .actions { display: flex; gap: 0.75rem; align-items: center; margin-top: 1.25rem; }
  table { width: 100%; border-collapse: collapse; font-size: 0.95rem; }
  caption { text-align: left; font-weight: 600; padding-bottom: 0.5rem; }
  th, td { padding: 0.4rem 0.5rem; border-bottom: 1px solid var(--line); text-align: left; vertical-align: middle; }
  thead th { color: var(--muted); font-weight: 600; font-size: 0.85rem; }
  tfoot th, tfoot td { border-bottom: none; font-weight: 600; }
  .num { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; }
  .name { word-break: break-all; }
  .folder { color: var(--muted); }
  tr.too-large td { background: var(--bad-soft); }
  td .remove { padding: 0.15rem 0.5rem; font-size: 1.1rem; line-height: 1; }
  .problem { border-left: 4px solid var(--bad); background: var(--bad-soft); color: var(--text);
             padding: 0.6rem 0.9rem; border-radius: 6px; margin: 1rem 0 0; }
  .problem .detail { display: block; color: var(--muted); font-size: 0.9rem; }
  #status { min-height: 1.5em; color: var(--muted); margin: 0.75rem 0 0; }
  progress { width: 100%; height: 0.9rem; accent-color: var(--accent); }
  #progress-text { margin: 0.25rem 0 0; font-variant-numeric: tabular-nums; }
  .download-line { display: flex; gap: 1rem; align-items: center; flex-wrap: wrap; }
  .ratio { display: flex; align-items: center; gap: 0.5rem; white-space: nowrap; }
  .bar { display: inline-block; width: 5rem; height: 0.5rem; border-radius: 4px; background: var(--bar-bg);
         overflow: hidden; }
  .bar span { display: block; height: 100%; background: var(--bar); }
  .ok { color: var(--good); }
  .visually-hidden { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0);
                     white-space: nowrap; }
  [hidden] { display: none !important; }
</style>
</head>
<body>
<main>
<h1>Pack files into a zip archive</h1>
<p class="limits" id="limits">{{LIMITS}}</p>
<form id="upload" class="card" action="/compress" method="post" enctype="multipart/form-data"
      data-max-upload="{{MAX_UPLOAD}}" data-max-files="{{MAX_FILES}}" data-expiry="{{EXPIRY}}">
  <div id="drop" class="drop">
    <svg viewBox="0 0 24 24" aria-hidden="true" fill="none" stroke="currentColor" stroke-width="1.8"
         stroke-linecap="round" stroke-linejoin="round"><path d="M12 16V4m0 0-4 4m4-4 4 4"/><path d="M4 15v3a2 2 0 0 0 2 2h12a2 2 0 0 0 2-2v-3"/></svg>
    <p class="drop-title with-script">Drop files or folders here</p>
    <p class="muted with-script">or choose them</p>
    <p class="drop-title without-script">Choose files or a folder</p>
    <div class="pickers">
      <span class="picker"><input type="file" id="files" name="file" multiple aria-label="Choose files">
        <label class="button" for="files" aria-hidden="true">Choose files</label></span>
      <span class="picker"><input type="file" id="folder" name="file" webkitdirectory multiple
        aria-label="Choose a folder"><label class="button" for="folder" aria-hidden="true">Choose a folder</label></span>
    </div>
  </div>
  <label class="field" for="path">Folder inside the archive <span class="hint">(optional)</span></label>
  <input type="text" id="path" name="path" placeholder="for example reports\2024" autocomplete="off">
  <section id="chosen" hidden aria-labelledby="chosen-title">
    <h2 id="chosen-title" class="visually-hidden">Chosen files</h2>
    <table>
      <caption>Chosen files</caption>
      <thead><tr><th scope="col">Name</th><th scope="col">Folder</th><th scope="col" class="num">Size</th>
        <th scope="col"><span class="visually-hidden">Remove</span></th></tr></thead>
      <tbody id="chosen-rows"></tbody>
      <tfoot><tr><th scope="row" colspan="2" id="total-count"></th><td class="num" id="total"></td><td></td></tr></tfoot>
    </table>
  </section>
  <p id="problem" class="problem" role="alert" hidden></p>
  <div class="actions">
    <button type="submit" id="pack" class="primary">Pack</button>
    <button type="button" id="cancel" hidden>Cancel upload</button>
    <button type="button" id="clear" hidden>Remove all</button>
  </div>
  <div id="progress-box" hidden>
    <p id="progress-label" class="visually-hidden">Upload progress</p>
    <progress id="progress" max="1" value="0" aria-labelledby="progress-label" aria-describedby="progress-text"></progress>
    <p id="progress-text"></p>
  </div>
  <p id="status" role="status"></p>
</form>
<section id="result" class="card" hidden aria-labelledby="result-title">
  <h2 id="result-title" tabindex="-1">Your archive is ready</h2>
  <div class="download-line">
    <a id="download" class="button primary" href="#" download>Download <span id="archive-name"></span></a>
    <span id="archive-size"></span>
  </div>
  <p id="expires" class="muted"></p>
  <p id="left-out" hidden></p>
  <p id="listing-problem" class="problem" hidden></p>
  <table id="listing" hidden>
    <caption>What the archive holds</caption>
    <thead><tr><th scope="col">Name</th><th scope="col" class="num">Size</th><th scope="col" class="num">Packed</th>
      <th scope="col">Saved</th></tr></thead>
    <tbody id="listing-rows"></tbody>
    <tfoot><tr><th scope="row" id="listing-count"></th><td class="num" id="listing-size"></td>
      <td class="num" id="listing-packed"></td><td id="listing-ratio"></td></tr></tfoot>
  </table>
</section>
</main>
<script>
"use strict";
(() => {
  const $ = (id) => document.getElementById(id);
  document.documentElement.classList.replace("no-script", "js");
  const form = $("upload");
  const limits = {
    upload: Number(form.dataset.maxUpload),
    files: Number(form.dataset.maxFiles),
    expiry: Number(form.dataset.expiry),
  };
  // What a multipart body adds around each file and its path field, at most
  // (boundaries, field heads, a quoted name with every byte escaped): the
  // page checks the upload limit against the body, not just the contents.
  const kPartOverhead = 400;
  let chosen = [];  // {file, folder, name}: folder levels joined by backslashes
  let request = null;

  function plural(count, one, many) { return count + " " + (count === 1 ? one : many); }

  function readableSize(bytes) {
    if (bytes < 1024) return plural(bytes, "byte", "bytes");
    const units = ["KB", "MB", "GB", "TB"];
    let value = bytes / 1024, unit = 0;
    while (value >= 1024 && unit < units.length - 1) { value /= 1024; ++unit; }
    const text = value < 10 && Math.round(value * 10) % 10 !== 0 ? value.toFixed(1) : String(Math.round(value));
    return text + " " + units[unit];
  }

  function readableSeconds(seconds) {
    if (seconds < 1) return "less than a second";
    if (seconds < 60) return plural(Math.round(seconds), "second", "seconds");
    if (seconds < 50 * 60) return plural(Math.round(seconds / 60), "minute", "minutes");
    if (seconds < 36 * 3600) return plural(Math.round(seconds / 3600), "hour", "hours");
    return plural(Math.round(seconds / 86400), "day", "days");
  }

  function utf8Length(text) { return new TextEncoder().encode(text).length; }

  // Levels split at '/' and '\', empty ones dropped, joined with backslashes:
  // the way the archive names folders.
  function folderOf(text) { return text.split(/[\\/]+/).filter((level) => level !== "").join("\\"); }
  function join(a, b) { return a && b ? a + "\\" + b : a || b; }

  function cell(row, text, className) {
    const td = row.insertCell();
    if (className) td.className = className;
    if (text !== undefined) td.textContent = text;
    return td;
  }

  function sizeCell(row, bytes) {
    const td = cell(row, undefined, "num");
    const data = document.createElement("data");
    data.value = String(bytes);
    data.textContent = readableSize(bytes);
    td.append(data);
    return td;
  }

  function say(text) { $("status").textContent = text; }

  function showProblem(text, detail) {
    const box = $("problem");
    box.textContent = text;
    if (detail) {
      const more = document.createElement("span");
      more.className = "detail";
      more.textContent = detail;
      box.append(more);
    }
    box.hidden = false;
  }
  function clearProblem() { $("problem").hidden = true; $("problem").textContent = ""; }

  function bodyEstimate() {
    let bytes = 0;
    for (const item of chosen) bytes += item.file.size + kPartOverhead + 3 * utf8Length(item.name);
    return bytes;
  }

  // What keeps the chosen files from being sent, in plain words; null when
  // nothing does.
  function limitProblem() {
    if (chosen.length > limits.files) {
      return "You chose " + chosen.length + " files, but this server packs at most " +
             plural(limits.files, "file", "files") + " at once. Remove " + (chosen.length - limits.files) +
             " or pack them in another archive.";
    }
    const large = chosen.find((item) => item.file.size + kPartOverhead > limits.upload);
    if (large) {
      // Sizes that read alike are told in bytes, so the message never
      // says a file of 3 MB is too large for 3 MB.
      const alike = readableSize(large.file.size) === readableSize(limits.upload);
      const told = (bytes) => (alike ? bytes.toLocaleString("en") + " bytes" : readableSize(bytes));
      return "\u201c" + large.name + "\u201d (" + told(large.file.size) + ") is too large: this server takes at most " +
             told(limits.upload) + " in one upload." + (chosen.length > 1 ? " Remove it to pack the others." : "");
    }
    if (bodyEstimate() > limits.upload) {
      return "Together these files come to " + readableSize(bodyEstimate()) + ", more than the " +
             readableSize(limits.upload) + " this server takes in one upload. Remove some and pack them in another archive.";
    }
    return null;
  }

  function render() {
    const rows = $("chosen-rows");
    rows.replaceChildren();
    let total = 0;
    chosen.forEach((item, index) => {
      total += item.file.size;
      const row = rows.insertRow();
      if (item.file.size + kPartOverhead > limits.upload) row.className = "too-large";
      cell(row, item.file.name, "name");
      cell(row, item.folder || "\u2014", "folder");
      sizeCell(row, item.file.size);
      const remove = document.createElement("button");
      remove.type = "button";
      remove.className = "remove";
      remove.textContent = "\u00d7";
      remove.setAttribute("aria-label", "Remove " + item.name);
      remove.title = "Remove";
      remove.addEventListener("click", () => removeAt(index));
      cell(row).append(remove);
    });
    $("total-count").textContent = "Total: " + plural(chosen.length, "file", "files");
    $("total").replaceChildren();
    const data = document.createElement("data");
    data.value = String(total);
    data.textContent = readableSize(total);
    $("total").append(data);
    $("chosen").hidden = chosen.length === 0;
    $("clear").hidden = chosen.length === 0;
    const problem = limitProblem();
    if (problem) showProblem(problem); else clearProblem();
  }

  function removeAt(index) {
    const [gone] = chosen.splice(index, 1);
    render();
    say("Removed " + gone.name + ".");
    const buttons = document.querySelectorAll("#chosen-rows .remove");
    (buttons[Math.min(index, buttons.length - 1)] || $("files")).focus();
  }

  function add(items) {
    if (request) return;
    $("result").hidden = true;
    const names = new Set(chosen.map((item) => item.name));
    let added = 0, twice = 0;
    for (const { file, folder } of items) {
      const name = join(folder, file.name);
      if (names.has(name)) { ++twice; continue; }
      names.add(name);
      chosen.push({ file, folder, name });
      ++added;
    }
    render();
    say("Added " + plural(added, "file", "files") + (twice ? "; " + twice + " already chosen were skipped." : "."));
  }

  function fromInput(input) {
    const items = [...input.files].map((file) => ({
      file,
      folder: folderOf((file.webkitRelativePath || "").split("/").slice(0, -1).join("/")),
    }));
    input.value = "";
    add(items);
  }
  $("files").addEventListener("change", () => fromInput($("files")));
  $("folder").addEventListener("change", () => fromInput($("folder")));

  // A dropped folder is walked level by level; its own name is the first
  // level of its files' folders.
  async function walk(entry, folder, out) {
    if (entry.isFile) {
      out.push({ file: await new Promise((done, fail) => entry.file(done, fail)), folder });
      return;
    }
    if (!entry.isDirectory) return;
    const inside = join(folder, entry.name);
    const reader = entry.createReader();
    for (;;) {
      const batch = await new Promise((done, fail) => reader.readEntries(done, fail));
      if (batch.length === 0) break;
      for (const child of batch) await walk(child, inside, out);
    }
  }

  async function fromDrop(transfer) {
    // Entries must be taken before the first await: the transfer empties
    // once the event handler returns.
    const entries = [...transfer.items].filter((item) => item.kind === "file")
        .map((item) => (item.webkitGetAsEntry && item.webkitGetAsEntry()) || item.getAsFile());
    const items = [];
    for (const entry of entries) {
      if (entry instanceof File) items.push({ file: entry, folder: "" });
      else if (entry) await walk(entry, "", items);
    }
    return items;
  }

  const drop = $("drop");
  let depth = 0;
  document.addEventListener("dragenter", (event) => {
    event.preventDefault();
    if (++depth === 1) drop.classList.add("over");
  });
  document.addEventListener("dragleave", () => { if (--depth <= 0) { depth = 0; drop.classList.remove("over"); } });
  document.addEventListener("dragover", (event) => {
    event.preventDefault();
    event.dataTransfer.dropEffect = request ? "none" : "copy";
  });
  document.addEventListener("drop", (event) => {
    event.preventDefault();
    depth = 0;
    drop.classList.remove("over");
    if (request) return;
    say("Reading the dropped files\u2026");
    fromDrop(event.dataTransfer).then(add, (failure) => {
      showProblem("The dropped files could not be read.", failure && failure.message);
      say("");
    });
  });

  $("clear").addEventListener("click", () => {
    chosen = [];
    render();
    say("Removed all files.");
    $("files").focus();
  });

  function busy(on) {
    $("pack").disabled = on;
    $("clear").disabled = on;
    $("files").disabled = on;
    $("folder").disabled = on;
    $("path").disabled = on;
    document.querySelectorAll("#chosen-rows .remove").forEach((button) => { button.disabled = on; });
    $("cancel").hidden = !on;
    $("progress-box").hidden = !on;
    if (on) $("cancel").focus();
  }

  function progress(loaded, total, started) {
    const bar = $("progress");
    bar.max = total || 1;
    bar.value = loaded;
    if (total === 0) {
      $("progress-text").textContent = "Starting the upload\u2026";
      return;
    }
    let text = readableSize(loaded) + " of " + readableSize(total) + " sent (" +
               Math.floor((100 * loaded) / (total || 1)) + "%)";
    const elapsed = (performance.now() - started) / 1000;
    if (loaded > 0 && loaded < total && elapsed > 0.3) {
      text += ", about " + readableSeconds(((total - loaded) * elapsed) / loaded) + " left";
    }
    $("progress-text").textContent = text;
  }

  // The server's refusals in plain words; its own text follows as detail.
  function refusal(status, text, retry) {
    const later = retry ? " Try again in " + readableSeconds(Number(retry)) + "." : " Try again later.";
    switch (status) {
      case 400: return "The server could not accept these files.";
      case 408: return "The upload was too slow and the server stopped waiting. Try again on a faster connection.";
      case 413: return "The upload is larger than this server takes (" + readableSize(limits.upload) +
                       " and " + plural(limits.files, "file", "files") + " at most).";
      case 503: return "The server is busy right now." + later;
      case 507: return "The server has no room to keep another archive right now." + later;
      case 502: return "The packing module gave an answer the server could not use.";
      default: return "The server could not pack the files (HTTP " + status + ").";
    }
  }

  function failed(text, detail) {
    busy(false);
    showProblem(text, detail);
    say("");
    $("pack").focus();
  }

  function leftOut(xhr) {
    const count = Number(xhr.getResponseHeader("X-Parcel-Empty-Files") || 0);
    if (!count) return null;
    const names = (xhr.getResponseHeader("X-Parcel-Empty-File-Names") || "").split(", ")
        .filter((name) => name !== "").map((name) => { try { return decodeURIComponent(name); } catch { return name; } });
    let text = "Left out because they are empty: " + names.join(", ");
    if (count > names.length) text += " and " + (count - names.length) + " more";
    if (count === 1) text = "Left out because it is empty: " + names[0];
    return text + ".";
  }

  // How much smaller an entry became, as a small bar and a percentage.
  function ratio(size, packed) {
    const saved = size > 0 ? Math.max(0, 1 - packed / size) : 0;
    const percent = Math.floor(saved * 100);
    const wrap = document.createElement("span");
    wrap.className = "ratio";
    const bar = document.createElement("span");
    bar.className = "bar";
    bar.setAttribute("aria-hidden", "true");
    const fill = document.createElement("span");
    fill.style.width = (saved * 100).toFixed(1) + "%";
    bar.append(fill);
    const label = document.createElement("span");
    label.textContent = saved === 0 ? "not smaller" : percent === 0 ? "under 1% smaller" : percent + "% smaller";
    wrap.append(bar, label);
    return wrap;
  }

  function showListing(listing) {
    const rows = $("listing-rows");
    rows.replaceChildren();
    let size = 0, packed = 0;
    for (const entry of listing.entries) {
      size += entry.size;
      packed += entry.packed;
      const row = rows.insertRow();
      const name = cell(row, undefined, "name");
      const cut = entry.name.lastIndexOf("\\");
      if (cut >= 0) {
        const folder = document.createElement("span");
        folder.className = "folder";
        folder.textContent = entry.name.substring(0, cut + 1);
        name.append(folder);
      }
      name.append(entry.name.substring(cut + 1));
      sizeCell(row, entry.size);
      sizeCell(row, entry.packed);
      cell(row).append(ratio(entry.size, entry.packed));
    }
    $("listing-count").textContent = plural(listing.entries.length, "file", "files");
    $("listing-size").textContent = readableSize(size);
    $("listing-packed").textContent = readableSize(packed);
    $("listing-ratio").replaceChildren(ratio(size, packed));
    $("listing").hidden = false;
  }

  async function packed(xhr, count) {
    const answer = new DOMParser().parseFromString(xhr.responseText, "text/xml");
    const error = answer.querySelector("ERROR");
    if (error) {
      const code = error.getAttribute("code");
      failed("The archive could not be made: " + error.textContent + ".",
             code ? "The packing module answered with error code " + code + "." : "");
      return;
    }
    const archive = answer.querySelector("COMPRESSED_FILE");
    const url = archive ? archive.getAttribute("url") || "" : "";
    if (!url.startsWith("/output/")) {
      failed("The server gave an answer this page does not understand.");
      return;
    }
    const name = url.substring("/output/".length);
    const bytes = Number(archive.getAttribute("size"));
    const link = $("download");
    link.href = url;
    link.download = name;
    $("archive-name").textContent = name;
    $("archive-size").textContent = readableSize(bytes);
    const note = leftOut(xhr);
    $("left-out").textContent = note || "";
    $("left-out").hidden = !note;
    $("listing").hidden = true;
    $("listing-problem").hidden = true;
    let expiresIn = limits.expiry;
    try {
      const response = await fetch(url + "/entries", { credentials: "same-origin", cache: "no-store" });
      if (!response.ok) throw new Error("HTTP " + response.status);
      const listing = await response.json();
      expiresIn = listing.expires_in;
      showListing(listing);
    } catch (failure) {
      $("listing-problem").textContent = "The archive's contents could not be listed (" + failure.message +
                                         "); the download is not affected.";
      $("listing-problem").hidden = false;
    }
    const until = new Date(Date.now() + expiresIn * 1000);
    $("expires").textContent = "Kept on this server until " +
        until.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" }) +
        (expiresIn >= 20 * 3600 ? " on " + until.toLocaleDateString() : "") +
        " (" + readableSeconds(expiresIn) + " from now), then deleted.";
    chosen = [];
    render();
    busy(false);
    $("result").hidden = false;
    say("Packed " + plural(count, "file", "files") + " into " + name + ".");
    $("result-title").focus();
  }

  form.addEventListener("submit", (event) => {
    event.preventDefault();
    if (request) return;
    clearProblem();
    if (chosen.length === 0) {
      showProblem("Choose or drop at least one file first.");
      return;
    }
    const problem = limitProblem();
    if (problem) {
      showProblem(problem);
      return;
    }
    const base = folderOf($("path").value);
    const body = new FormData();
    for (const item of chosen) {
      body.append("path", join(base, item.folder));
      body.append("file", item.file, item.file.name);
    }
    const count = chosen.length;
    const xhr = new XMLHttpRequest();
    request = xhr;
    const started = performance.now();
    xhr.open("POST", "/compress");
    xhr.upload.addEventListener("progress", (e) => progress(e.loaded, e.total, started));
    xhr.upload.addEventListener("load", () => {
      $("progress-text").textContent = "All sent. Packing\u2026";
      say("Packing " + plural(count, "file", "files") + "\u2026");
    });
    xhr.addEventListener("loadend", () => { if (request === xhr) request = null; });
    xhr.addEventListener("abort", () => {
      busy(false);
      say("Upload cancelled. Nothing was packed; your files are still chosen.");
      $("pack").focus();
    });
    xhr.addEventListener("error", () => failed(
        "The connection to the server was lost before the archive was made. Check that the server is running and try again."));
    xhr.addEventListener("load", () => {
      if (xhr.status !== 200) {
        failed(refusal(xhr.status, xhr.responseText, xhr.getResponseHeader("Retry-After")),
               xhr.responseText.trim() ? "The server said: " + xhr.responseText.trim() : "");
        return;
      }
      packed(xhr, count);
    });
    busy(true);
    progress(0, 0, started);
    say("Uploading " + plural(count, "file", "files") + "\u2026");
    xhr.send(body);
  });

  $("cancel").addEventListener("click", () => { if (request) request.abort(); });
  render();
})();
</script>
</body>
</html>
)page";

void ReplaceAll(std::string* text, std::string_view from, std::string_view to) {
  for (std::size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

}  // namespace

std::string ReadableSize(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  std::size_t unit = 0;
  // Tenths of the unit, rounded; integer arithmetic keeps it exact.
  std::uint64_t scale = 1024;
  while (unit + 1 < std::size(kUnits) && bytes / scale >= 1024) {
    scale *= 1024;
    ++unit;
  }
  const std::uint64_t tenths = (bytes * 10 + scale / 2) / scale;
  std::string number = tenths < 100 && tenths % 10 != 0
                           ? std::to_string(tenths / 10) + "." + std::to_string(tenths % 10)
                           : std::to_string((tenths + 5) / 10);
  return number + " " + kUnits[unit];
}

std::string ReadableDuration(std::uint64_t seconds) {
  struct Unit {
    std::uint64_t seconds;
    const char* one;
    const char* many;
  };
  static constexpr Unit kUnits[] = {
      {86400, "day", "days"}, {3600, "hour", "hours"}, {60, "minute", "minutes"}};
  for (const Unit& unit : kUnits) {
    if (seconds >= unit.seconds && seconds % unit.seconds == 0) {
      const std::uint64_t count = seconds / unit.seconds;
      return std::to_string(count) + " " + (count == 1 ? unit.one : unit.many);
    }
  }
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string UploadPage(const UploadPageLimits& limits) {
  std::string page(kPage);
  const std::string files = std::to_string(limits.max_files);
  ReplaceAll(&page, "{{LIMITS}}",
             "Up to " + ReadableSize(limits.max_upload) + " and " + files +
                 (limits.max_files == 1 ? " file" : " files") +
                 " in one upload. Archives are kept for " +
                 ReadableDuration(limits.expiry_seconds) + ", then deleted.");
  ReplaceAll(&page, "{{MAX_UPLOAD}}", std::to_string(limits.max_upload));
  ReplaceAll(&page, "{{MAX_FILES}}", files);
  ReplaceAll(&page, "{{EXPIRY}}", std::to_string(limits.expiry_seconds));
  return page;
}

}  // namespace parcel::host
